#pragma once

// The names of the main window's commands and menus: menu items, toolbar buttons
// ("Toolbar1_" + key), context menus and their items. Panels hook their handlers by
// these names; hooking a name the table does not know is an error.
namespace Cmd {
// Menu bar
inline constexpr char ImportImages[] = "mnuImportImages";
inline constexpr char ImportDir[] = "mnuImportDir";
inline constexpr char ExportJpeg[] = "mnuExportJPEG";
inline constexpr char ExportDicom[] = "mnuExportDICOM";
inline constexpr char Quarantine[] = "mnuQuarantine";
inline constexpr char Exit[] = "mnuDateiBeenden";
inline constexpr char ApplyTasks[] = "mnuApplyTasks";
inline constexpr char RefreshList[] = "mnuRefreshList";
inline constexpr char EditDatabase[] = "mnuEditDatabase";
inline constexpr char Options[] = "mnuAnsichtEinstellungen";
inline constexpr char MammoLayout[] = "mnuAnsichtMammo";
inline constexpr char ErrorLog[] = "mnuProtokollFehler";
inline constexpr char DebugLog[] = "mnuProtokollDebug";
inline constexpr char Fill[] = "mnuFill";
inline constexpr char About[] = "mnuInfoAbout";

// Toolbar buttons with a command of their own
inline constexpr char ToolbarSend[] = "Toolbar1_send";
inline constexpr char ToolbarRefreshDoses[] = "Toolbar1_refreshd";
inline constexpr char ToolbarDoseRecords[] = "Toolbar1_reldosis";
inline constexpr char ToolbarWorklist[] = "Toolbar1_worklist";
inline constexpr char ToolbarDeleteDoses[] = "Toolbar1_delete";

// Context menu items
inline constexpr char PatientDelete[] = "PopUpPatient_Delete";
inline constexpr char PatientDeleteAll[] = "PopUpPatient_DeleteAll";
inline constexpr char StudyViewSeries[] = "PopUpStudie_ViewSeries";
inline constexpr char StudyViewImages[] = "PopUpStudie_ViewImages";
inline constexpr char StudyDelete[] = "PopUpStudie_Delete";
inline constexpr char SeriesViewImages[] = "PopUpSerie_ViewImages";
inline constexpr char SeriesDelete[] = "PopUpSerie_Delete";
inline constexpr char TaskListClear[] = "PopUpTaskList_Clear";
inline constexpr char TaskListSaveAs[] = "PopUpTaskList_SaveAs";
inline constexpr char ViewerRotateRight[] = "PopUpViewer_RotateRight";
inline constexpr char ViewerRotateLeft[] = "PopUpViewer_RotateLeft";
inline constexpr char ViewerMirrorH[] = "PopUpViewer_MirrorH";
inline constexpr char ViewerMirrorV[] = "PopUpViewer_MirrorV";
inline constexpr char ViewerAllRotateRight[] = "PopUpViewer_AllRotateRight";
inline constexpr char ViewerAllRotateLeft[] = "PopUpViewer_AllRotateLeft";
inline constexpr char ViewerAllMirrorH[] = "PopUpViewer_AllMirrorH";
inline constexpr char ViewerAllMirrorV[] = "PopUpViewer_AllMirrorV";
inline constexpr char ViewerReset[] = "PopUpViewer_Reset";
inline constexpr char ViewerResetAll[] = "PopUpViewer_ResetAll";
inline constexpr char ImageDelete[] = "Popup_Dicom_Delete";
inline constexpr char DoseDelete[] = "Popup_Dosis_Delete";

// The dose panel's buttons
inline constexpr char MergeImages[] = "cmdAll_Click";
inline constexpr char Manually[] = "cmdSelected_Click";
} // namespace Cmd

// The context menus and sub-menus kept in the command table.
namespace Menu {
inline constexpr char Patient[] = "PopUpPatient";
inline constexpr char Study[] = "PopUpStudie";
inline constexpr char Series[] = "PopUpSerie";
inline constexpr char TaskList[] = "PopUpTaskList";
inline constexpr char Rules[] = "PopUpRules";
inline constexpr char Viewer[] = "PopUpViewer";
inline constexpr char Image[] = "Popup_Dicom";
inline constexpr char Dose[] = "Popup_Dosis";
inline constexpr char SeriesSendTo[] = "Se_SendTo";
inline constexpr char StudySendTo[] = "St_SendTo";
inline constexpr char PatientSendTo[] = "P_SendTo";
} // namespace Menu
