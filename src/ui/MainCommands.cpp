#include "ui/MainCommands.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace {

// Toolbar1: key, caption, tooltip, icon, command.
const MainCommands::ToolbarButton ToolbarButtons[] = {
    {"send", "Send", "Send the selected patient to the default destination", QStyle::SP_ArrowRight, Cmd::ToolbarSend,
     true},
    {"exe", "Execute", "Execute tasks", QStyle::SP_MediaPlay, Cmd::ApplyTasks, false},
    {"refresh", "Refresh", "Refresh patient list", QStyle::SP_BrowserReload, Cmd::RefreshList, false},
    {"refreshd", "Dose list", "Refresh Dosislist", QStyle::SP_FileDialogContentsView, Cmd::ToolbarRefreshDoses, true},
    {"reldosis", "Dose records", "Reload Dosislist", QStyle::SP_FileDialogDetailedView, Cmd::ToolbarDoseRecords, true},
    {"worklist", "Worklist", "Query the worklist", QStyle::SP_FileDialogListView, Cmd::ToolbarWorklist, true},
    {"delete", "Delete doses", "Delete Dosislist", QStyle::SP_TrashIcon, Cmd::ToolbarDeleteDoses, true},
    {"eJPEG", "JPEG", "Export as JPEG", QStyle::SP_DialogSaveButton, Cmd::ExportJpeg, false},
    {"eDICOM", "DICOM", "Export as DICOM", QStyle::SP_DriveFDIcon, Cmd::ExportDicom, false},
    {"exit", "Exit", "Exit", QStyle::SP_DialogCloseButton, Cmd::Exit, false},
};

void addCommands(CommandTable &c)
{
    c.add(Cmd::ImportImages, QStringLiteral("DICOM Image(s) ..."));
    c.add(Cmd::ImportDir, QStringLiteral("DICOM Dir ..."));
    c.add(Cmd::ExportJpeg, QStringLiteral("JPEG ..."));
    c.add(Cmd::ExportDicom, QStringLiteral("DICOM ..."));
    c.add(Cmd::Quarantine, QStringLiteral("Kept apart ..."));
    c.add(Cmd::Exit, QStringLiteral("E&xit"));
    c.add(Cmd::ApplyTasks, QStringLiteral("Execute tasks ..."));
    c.add(Cmd::RefreshList, QStringLiteral("Refresh list"));
    c.add(Cmd::EditDatabase, QStringLiteral("DICOM Dictionary ..."));
    c.add(Cmd::Options, QStringLiteral("&Options ..."));
    c.add(Cmd::MammoLayout, QStringLiteral("&Mammography layout (2 x 2)"))->setCheckable(true);
    c.add(Cmd::LiveView, QStringLiteral("&Live examination view"))->setCheckable(true);
    c.add(Cmd::ErrorLog, QStringLiteral("Errors ..."));
    c.add(Cmd::DebugLog, QStringLiteral("Debug ..."));
    c.add(Cmd::Fill, QStringLiteral("Fill"));
    c.add(Cmd::About, QStringLiteral("Abo&ut ..."));

    for (const auto &b : MainCommands::toolbarButtons()) {
        if (b.ownCommand)
            c.add(QString::fromLatin1(b.command), QString::fromUtf8(b.caption));
    }

    // Context menu items.
    const std::pair<const char *, const char *> items[] = {
        {Cmd::PatientDelete, "Delete Patient"},
        {Cmd::PatientDeleteAll, "Delete All Patients"},
        {Cmd::StudyViewSeries, "View Series"},
        {Cmd::StudyViewImages, "View Images"},
        {Cmd::StudyDelete, "Delete Images"},
        {Cmd::SeriesViewImages, "View Images"},
        {Cmd::SeriesDelete, "Delete Images"},
        {Cmd::TaskListClear, "Clear entries"},
        {Cmd::TaskListSaveAs, "Save as ..."},
        {Cmd::ViewerRotateRight, "90° rechts"},
        {Cmd::ViewerRotateLeft, "90° links"},
        {Cmd::ViewerMirrorH, "horizontal"},
        {Cmd::ViewerMirrorV, "vertical"},
        {Cmd::ViewerAllRotateRight, "90° rechts"},
        {Cmd::ViewerAllRotateLeft, "90° links"},
        {Cmd::ViewerAllMirrorH, "horizontal"},
        {Cmd::ViewerAllMirrorV, "vertikal"},
        {Cmd::ViewerReset, "Zurücksetzen"},
        {Cmd::ViewerResetAll, "Alle Zurücksetzen"},
        {Cmd::ImageDelete, "Delete"},
        {Cmd::DoseDelete, "Delete"},
        {Cmd::StudyDoseReport, "Dose report"},
        {Cmd::DoseReport, "Dose report"},
    };
    for (const auto &[name, caption] : items)
        c.add(QString::fromLatin1(name), QString::fromUtf8(caption));

    // The dose panel's "Merge Images" and "Manually" buttons run these.
    c.add(Cmd::MergeImages, QStringLiteral("Merge Images"));
    c.add(Cmd::Manually, QStringLiteral("Manually"));
}

void addContextMenus(CommandTable &c, QWidget *menuParent)
{
    auto a = [&c](const char *n) { return c.action(QString::fromLatin1(n)); };
    auto menu = [menuParent, &c](const char *name) {
        auto *m = new QMenu(menuParent);
        c.addMenu(QString::fromLatin1(name), m);
        return m;
    };

    QMenu *serie = menu(Menu::Series);
    serie->addAction(a(Cmd::SeriesViewImages));
    c.addMenu(Menu::SeriesSendTo, serie->addMenu(QStringLiteral("Send to")));
    c.menu(Menu::SeriesSendTo)->setEnabled(false);
    serie->addAction(a(Cmd::SeriesDelete));

    QMenu *studie = menu(Menu::Study);
    studie->addAction(a(Cmd::StudyViewSeries));
    studie->addAction(a(Cmd::StudyViewImages));
    c.addMenu(Menu::StudySendTo, studie->addMenu(QStringLiteral("Send to")));
    c.menu(Menu::StudySendTo)->setEnabled(false);
    studie->addAction(a(Cmd::StudyDelete));
    studie->addAction(a(Cmd::StudyDoseReport));

    QMenu *patient = menu(Menu::Patient);
    c.addMenu(Menu::PatientSendTo, patient->addMenu(QStringLiteral("Send to")));
    c.menu(Menu::PatientSendTo)->setEnabled(false);
    patient->addAction(a(Cmd::PatientDelete));
    patient->addAction(a(Cmd::PatientDeleteAll));

    QMenu *tasks = menu(Menu::TaskList);
    tasks->addAction(a(Cmd::TaskListClear));
    tasks->addAction(a(Cmd::TaskListSaveAs));
    QMenu *rules = tasks->addMenu(QStringLiteral("Add fav. task"));
    c.addMenu(Menu::Rules, rules);
    rules->menuAction()->setObjectName(QStringLiteral("PopUpTaskList_AddFav"));
    rules->addAction(QStringLiteral("No entries"))->setEnabled(false);

    QMenu *viewer = menu(Menu::Viewer);
    QMenu *rotate = viewer->addMenu(QStringLiteral("Drehen"));
    rotate->addAction(a(Cmd::ViewerRotateRight));
    rotate->addAction(a(Cmd::ViewerRotateLeft));
    QMenu *mirror = viewer->addMenu(QStringLiteral("Spiegeln"));
    mirror->addAction(a(Cmd::ViewerMirrorH));
    mirror->addAction(a(Cmd::ViewerMirrorV));
    QMenu *rotateAll = viewer->addMenu(QStringLiteral("Alle Drehen"));
    rotateAll->addAction(a(Cmd::ViewerAllRotateRight));
    rotateAll->addAction(a(Cmd::ViewerAllRotateLeft));
    QMenu *mirrorAll = viewer->addMenu(QStringLiteral("Alle Spiegeln"));
    mirrorAll->addAction(a(Cmd::ViewerAllMirrorH));
    mirrorAll->addAction(a(Cmd::ViewerAllMirrorV));
    viewer->addSeparator();
    viewer->addAction(a(Cmd::ViewerReset));
    viewer->addAction(a(Cmd::ViewerResetAll));

    menu(Menu::Image)->addAction(a(Cmd::ImageDelete));
    QMenu *dose = menu(Menu::Dose);
    dose->addAction(a(Cmd::DoseDelete));
    dose->addAction(a(Cmd::DoseReport));
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
