#pragma once

// The names of the main window's commands and menus: menu items, toolbar buttons
// ("Toolbar1_" + key), context menus and their items. This is the one list of them:
// code names a command only through these constants, and the command table refuses to
// add, hook, find or run a name that is not here (a misspelt name must never leave a
// menu item dead or make it disappear).
#define CALVAREX_COMMANDS(X)                                                                                           \
    /* Menu bar */                                                                                                     \
    X(ImportImages, "mnuImportImages")                                                                                 \
    X(ImportDir, "mnuImportDir")                                                                                       \
    X(ExportJpeg, "mnuExportJPEG")                                                                                     \
    X(ExportDicom, "mnuExportDICOM")                                                                                   \
    X(Quarantine, "mnuQuarantine")                                                                                     \
    X(Exit, "mnuDateiBeenden")                                                                                         \
    X(ApplyTasks, "mnuApplyTasks")                                                                                     \
    X(RefreshList, "mnuRefreshList")                                                                                   \
    X(EditDatabase, "mnuEditDatabase")                                                                                 \
    X(Options, "mnuAnsichtEinstellungen")                                                                              \
    X(MammoLayout, "mnuAnsichtMammo")                                                                                  \
    X(LiveView, "mnuAnsichtLive")                                                                                      \
    X(ErrorLog, "mnuProtokollFehler")                                                                                  \
    X(DebugLog, "mnuProtokollDebug")                                                                                   \
    X(Fill, "mnuFill")                                                                                                 \
    X(About, "mnuInfoAbout")                                                                                           \
                                                                                                                       \
    /* Toolbar buttons with a command of their own */                                                                  \
    X(ToolbarSend, "Toolbar1_send")                                                                                    \
    X(ToolbarRefreshDoses, "Toolbar1_refreshd")                                                                        \
    X(ToolbarDoseRecords, "Toolbar1_reldosis")                                                                         \
    X(ToolbarWorklist, "Toolbar1_worklist")                                                                            \
    X(ToolbarDeleteDoses, "Toolbar1_delete")                                                                           \
                                                                                                                       \
    /* Context menu items */                                                                                           \
    X(PatientDelete, "PopUpPatient_Delete")                                                                            \
    X(PatientDeleteAll, "PopUpPatient_DeleteAll")                                                                      \
    X(StudyViewSeries, "PopUpStudie_ViewSeries")                                                                       \
    X(StudyViewImages, "PopUpStudie_ViewImages")                                                                       \
    X(StudyDelete, "PopUpStudie_Delete")                                                                               \
    X(StudyDoseReport, "PopUpStudie_DoseReport")                                                                       \
    X(SeriesViewImages, "PopUpSerie_ViewImages")                                                                       \
    X(SeriesDelete, "PopUpSerie_Delete")                                                                               \
    X(TaskListClear, "PopUpTaskList_Clear")                                                                            \
    X(TaskListSaveAs, "PopUpTaskList_SaveAs")                                                                          \
    X(ViewerRotateRight, "PopUpViewer_RotateRight")                                                                    \
    X(ViewerRotateLeft, "PopUpViewer_RotateLeft")                                                                      \
    X(ViewerMirrorH, "PopUpViewer_MirrorH")                                                                            \
    X(ViewerMirrorV, "PopUpViewer_MirrorV")                                                                            \
    X(ViewerAllRotateRight, "PopUpViewer_AllRotateRight")                                                              \
    X(ViewerAllRotateLeft, "PopUpViewer_AllRotateLeft")                                                                \
    X(ViewerAllMirrorH, "PopUpViewer_AllMirrorH")                                                                      \
    X(ViewerAllMirrorV, "PopUpViewer_AllMirrorV")                                                                      \
    X(ViewerReset, "PopUpViewer_Reset")                                                                                \
    X(ViewerResetAll, "PopUpViewer_ResetAll")                                                                          \
    X(ImageDelete, "Popup_Dicom_Delete")                                                                               \
    X(DoseDelete, "Popup_Dosis_Delete")                                                                                \
    X(DoseReport, "Popup_Dosis_Report")                                                                                \
                                                                                                                       \
    /* The dose panel's buttons */                                                                                     \
    X(MergeImages, "cmdAll_Click")                                                                                     \
    X(Manually, "cmdSelected_Click")

#define CALVAREX_MENUS(X)                                                                                              \
    /* The menu bar's menus */                                                                                         \
    X(File, "mnuDatei")                                                                                                \
    X(FileImport, "mnuImport")                                                                                         \
    X(FileExport, "mnuFileExport")                                                                                     \
    X(Edit, "mnuBearbeiten")                                                                                           \
    X(View, "mnuAnsicht")                                                                                              \
    X(Protocols, "mnuProtokoll")                                                                                       \
    X(Info, "mnuInfo")                                                                                                 \
    /* Context menus and sub-menus */                                                                                  \
    X(Patient, "PopUpPatient")                                                                                         \
    X(Study, "PopUpStudie")                                                                                            \
    X(Series, "PopUpSerie")                                                                                            \
    X(TaskList, "PopUpTaskList")                                                                                       \
    X(Rules, "PopUpRules")                                                                                             \
    X(Viewer, "PopUpViewer")                                                                                           \
    X(Image, "Popup_Dicom")                                                                                            \
    X(Dose, "Popup_Dosis")                                                                                             \
    X(SeriesSendTo, "Se_SendTo")                                                                                       \
    X(StudySendTo, "St_SendTo")                                                                                        \
    X(PatientSendTo, "P_SendTo")

namespace Cmd {
#define CALVAREX_ID(id, name) inline constexpr char id[] = name;
CALVAREX_COMMANDS(CALVAREX_ID)
#undef CALVAREX_ID
// Every command name, in the order above.
inline constexpr const char *All[] = {
#define CALVAREX_ID(id, name) id,
    CALVAREX_COMMANDS(CALVAREX_ID)
#undef CALVAREX_ID
};
} // namespace Cmd

// The context menus and sub-menus kept in the command table.
namespace Menu {
#define CALVAREX_ID(id, name) inline constexpr char id[] = name;
CALVAREX_MENUS(CALVAREX_ID)
#undef CALVAREX_ID
inline constexpr const char *All[] = {
#define CALVAREX_ID(id, name) id,
    CALVAREX_MENUS(CALVAREX_ID)
#undef CALVAREX_ID
};
} // namespace Menu
