#include "ui/MainCommands.h"
#include "ui/CommandTable.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace {

// Toolbar1: key, caption, tooltip, icon.
const MainCommands::ToolbarButton ToolbarButtons[] = {
    {"send", "Send", "Send the selected patient to the default destination", QStyle::SP_ArrowRight, nullptr},
    {"exe", "Execute", "Execute tasks", QStyle::SP_MediaPlay, "mnuApplyTasks"},
    {"refresh", "Refresh", "Refresh patient list", QStyle::SP_BrowserReload, "mnuRefreshList"},
    {"refreshd", "Dose list", "Refresh Dosislist", QStyle::SP_FileDialogContentsView, nullptr},
    {"reldosis", "Dose records", "Reload Dosislist", QStyle::SP_FileDialogDetailedView, nullptr},
    {"worklist", "Worklist", "Query the worklist", QStyle::SP_FileDialogListView, nullptr},
    {"delete", "Delete doses", "Delete Dosislist", QStyle::SP_TrashIcon, nullptr},
    {"eJPEG", "JPEG", "Export as JPEG", QStyle::SP_DialogSaveButton, "mnuExportJPEG"},
    {"eDICOM", "DICOM", "Export as DICOM", QStyle::SP_DriveFDIcon, "mnuExportDICOM"},
    {"exit", "Exit", "Exit", QStyle::SP_DialogCloseButton, "mnuDateiBeenden"},
};

void addCommands(CommandTable &c)
{
    c.add(QStringLiteral("mnuImportImages"), QStringLiteral("DICOM Image(s) ..."));
    c.add(QStringLiteral("mnuImportDir"), QStringLiteral("DICOM Dir ..."));
    c.add(QStringLiteral("mnuExportJPEG"), QStringLiteral("JPEG ..."));
    c.add(QStringLiteral("mnuExportDICOM"), QStringLiteral("DICOM ..."));
    c.add(QStringLiteral("mnuQuarantine"), QStringLiteral("Kept apart ..."));
    c.add(QStringLiteral("mnuDateiBeenden"), QStringLiteral("E&xit"));
    c.add(QStringLiteral("mnuApplyTasks"), QStringLiteral("Execute tasks ..."));
    c.add(QStringLiteral("mnuRefreshList"), QStringLiteral("Refresh list"));
    c.add(QStringLiteral("mnuEditDatabase"), QStringLiteral("DICOM Dictionary ..."));
    c.add(QStringLiteral("mnuAnsichtEinstellungen"), QStringLiteral("&Options ..."));
    c.add(QStringLiteral("mnuAnsichtMammo"), QStringLiteral("&Mammography layout (2 x 2)"))->setCheckable(true);
    c.add(QStringLiteral("mnuProtokollFehler"), QStringLiteral("Errors ..."));
    c.add(QStringLiteral("mnuProtokollDebug"), QStringLiteral("Debug ..."));
    c.add(QStringLiteral("mnuFill"), QStringLiteral("Fill"));
    c.add(QStringLiteral("mnuInfoAbout"), QStringLiteral("Abo&ut ..."));

    for (const auto &b : MainCommands::toolbarButtons()) {
        if (!b.mirrors)
            c.add(QStringLiteral("Toolbar1_") + QLatin1String(b.key), QString::fromUtf8(b.caption));
    }

    // Context menu items.
    const std::pair<const char *, const char *> items[] = {
        {"PopUpPatient_Delete", "Delete Patient"},
        {"PopUpPatient_DeleteAll", "Delete All Patients"},
        {"PopUpStudie_ViewSeries", "View Series"},
        {"PopUpStudie_ViewImages", "View Images"},
        {"PopUpStudie_Delete", "Delete Images"},
        {"PopUpSerie_ViewImages", "View Images"},
        {"PopUpSerie_Delete", "Delete Images"},
        {"PopUpTaskList_Clear", "Clear entries"},
        {"PopUpTaskList_SaveAs", "Save as ..."},
        {"PopUpViewer_RotateRight", "90° rechts"},
        {"PopUpViewer_RotateLeft", "90° links"},
        {"PopUpViewer_MirrorH", "horizontal"},
        {"PopUpViewer_MirrorV", "vertical"},
        {"PopUpViewer_AllRotateRight", "90° rechts"},
        {"PopUpViewer_AllRotateLeft", "90° links"},
        {"PopUpViewer_AllMirrorH", "horizontal"},
        {"PopUpViewer_AllMirrorV", "vertikal"},
        {"PopUpViewer_Reset", "Zurücksetzen"},
        {"PopUpViewer_ResetAll", "Alle Zurücksetzen"},
        {"Popup_Dicom_Delete", "Delete"},
        {"Popup_Dosis_Delete", "Delete"},
    };
    for (const auto &[name, caption] : items)
        c.add(QString::fromLatin1(name), QString::fromUtf8(caption));

    // The dose panel's "Merge Images" and "Manually" buttons run these.
    c.add(QStringLiteral("cmdAll_Click"), QStringLiteral("Merge Images"));
    c.add(QStringLiteral("cmdSelected_Click"), QStringLiteral("Manually"));
}

void addContextMenus(CommandTable &c, QWidget *menuParent)
{
    auto a = [&c](const char *n) { return c.action(QString::fromLatin1(n)); };
    auto menu = [menuParent, &c](const char *name) {
        auto *m = new QMenu(menuParent);
        c.addMenu(QString::fromLatin1(name), m);
        return m;
    };

    QMenu *serie = menu("PopUpSerie");
    serie->addAction(a("PopUpSerie_ViewImages"));
    c.addMenu(QStringLiteral("Se_SendTo"), serie->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("Se_SendTo"))->setEnabled(false);
    serie->addAction(a("PopUpSerie_Delete"));

    QMenu *studie = menu("PopUpStudie");
    studie->addAction(a("PopUpStudie_ViewSeries"));
    studie->addAction(a("PopUpStudie_ViewImages"));
    c.addMenu(QStringLiteral("St_SendTo"), studie->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("St_SendTo"))->setEnabled(false);
    studie->addAction(a("PopUpStudie_Delete"));

    QMenu *patient = menu("PopUpPatient");
    c.addMenu(QStringLiteral("P_SendTo"), patient->addMenu(QStringLiteral("Send to")));
    c.menu(QStringLiteral("P_SendTo"))->setEnabled(false);
    patient->addAction(a("PopUpPatient_Delete"));
    patient->addAction(a("PopUpPatient_DeleteAll"));

    QMenu *tasks = menu("PopUpTaskList");
    tasks->addAction(a("PopUpTaskList_Clear"));
    tasks->addAction(a("PopUpTaskList_SaveAs"));
    QMenu *rules = tasks->addMenu(QStringLiteral("Add fav. task"));
    c.addMenu(QStringLiteral("PopUpRules"), rules);
    rules->menuAction()->setObjectName(QStringLiteral("PopUpTaskList_AddFav"));
    rules->addAction(QStringLiteral("No entries"))->setEnabled(false);

    QMenu *viewer = menu("PopUpViewer");
    QMenu *rotate = viewer->addMenu(QStringLiteral("Drehen"));
    rotate->addAction(a("PopUpViewer_RotateRight"));
    rotate->addAction(a("PopUpViewer_RotateLeft"));
    QMenu *mirror = viewer->addMenu(QStringLiteral("Spiegeln"));
    mirror->addAction(a("PopUpViewer_MirrorH"));
    mirror->addAction(a("PopUpViewer_MirrorV"));
    QMenu *rotateAll = viewer->addMenu(QStringLiteral("Alle Drehen"));
    rotateAll->addAction(a("PopUpViewer_AllRotateRight"));
    rotateAll->addAction(a("PopUpViewer_AllRotateLeft"));
    QMenu *mirrorAll = viewer->addMenu(QStringLiteral("Alle Spiegeln"));
    mirrorAll->addAction(a("PopUpViewer_AllMirrorH"));
    mirrorAll->addAction(a("PopUpViewer_AllMirrorV"));
    viewer->addSeparator();
    viewer->addAction(a("PopUpViewer_Reset"));
    viewer->addAction(a("PopUpViewer_ResetAll"));

    menu("Popup_Dicom")->addAction(a("Popup_Dicom_Delete"));
    menu("Popup_Dosis")->addAction(a("Popup_Dosis_Delete"));
}

} // namespace

namespace MainCommands {

std::span<const ToolbarButton> toolbarButtons() { return ToolbarButtons; }

void build(CommandTable &table, QWidget *menuParent)
{
    addCommands(table);
    addContextMenus(table, menuParent);
}

} // namespace MainCommands
