#include "io/ImportExportCommands.h"

#include "core/AppError.h"
#include "core/Companions.h"
#include "core/Station.h"
#include "io/ExportForm.h"
#include "io/ImageImport.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/MainHooks.h"

#include <QWidget>

ImportExportCommands::ImportExportCommands(Station &station, StoreSelection &selection, CommandTable &commands,
                                           MainHooks &hooks, QWidget *parent)
    : QObject(parent), m_station(station), m_selection(selection), m_hooks(hooks), m_parent(parent)
{
    setObjectName(QStringLiteral("ImportExportCommands"));
    execDialog = [](QDialog &d) { return d.exec(); };
    commands.hook(QString::fromLatin1(Cmd::ImportImages), [this] { importImages(); });
    commands.hook(QString::fromLatin1(Cmd::ImportDir), [this] { importDir(); });
    commands.hook(QString::fromLatin1(Cmd::ExportJpeg), [this] { exportImages(ImageExport::Jpeg); });
    commands.hook(QString::fromLatin1(Cmd::ExportDicom), [this] { exportImages(ImageExport::Dicom); });
    // An import the station's end cut short is reported, not left to look complete.
    hooks.prepareDataFiles.push_back([this] {
        const QString report = ImageImport::cutShortReport(m_station.paths());
        if (report.isEmpty())
            return;
        m_station.log().writeError(ErrorNo::FileIo, report, ProcedureImport);
        m_station.prompter().message(report, MsgIcon::Warning);
    });
}

void ImportExportCommands::importImages()
{
    const QStringList files = m_station.prompter().askOpenFiles(
        QStringLiteral("Import DICOM Image(s)"), QStringLiteral("DICOM Image (*.dcm);;All files (*)"), true);
    if (files.isEmpty())
        return;
    runImport(EditForm::ImportImages, ProcedureImport, files);
}

void ImportExportCommands::importDir()
{
    m_station.trap(QStringLiteral("MainForm mnuImportDir_Click"), [&] {
        const QStringList files = m_station.prompter().askOpenFiles(QStringLiteral("Import DICOM-Dir"),
                                                                    QStringLiteral("All files (*)"), false);
        if (files.isEmpty())
            return;
        runImport(EditForm::ImportDir, ProcedureImportDir, {files.first()});
    });
}

void ImportExportCommands::runImport(qint16 operation, const QString &procedure, const QStringList &files)
{
    EditForm::Job job;
    job.operation = operation;
    job.procedure = procedure;
    // The images reach the store only through the data manager: one that is not running
    // is started, and the window says so (or that the images wait for it in the input
    // folder), so that nothing looks lost.
    auto dataManagerNote = [this](EditForm &f, const ImageImport::Result &r) {
        if (r.imported == 0)
            return;
        if (const QString note = Companions::ensureDataManager(m_station); !note.isEmpty())
            f.appendLine(note);
    };
    if (operation == EditForm::ImportImages) {
        job.work = [this, files, dataManagerNote](EditForm &f) {
            dataManagerNote(f, ImageImport(m_station.paths(), m_station.log(), f).importFiles(files));
        };
    } else {
        // A DICOMDIR that cannot be read ends the run with "failed", logged, without a box.
        job.work = [this, files, procedure, dataManagerNote](EditForm &f) {
            ImageImport::Result r;
            try {
                r = ImageImport(m_station.paths(), m_station.log(), f).importDicomDir(files.first());
            } catch (const std::exception &e) {
                f.appendLine(QStringLiteral("failed"));
                m_station.logError(e, procedure);
            }
            dataManagerNote(f, r);
        };
    }
    EditForm form(m_station, std::move(job), &m_hooks, m_parent ? m_parent->window() : nullptr);
    execDialog(form);
}

void ImportExportCommands::exportImages(ImageExport::Kind kind)
{
    const QStringList files = m_selection.viewerFiles();
    if (files.isEmpty()) {
        m_station.prompter().message(QStringLiteral("No images loaded into viewport."), MsgIcon::Information);
        return;
    }
    ExportForm form(m_station, kind, files, m_parent ? m_parent->window() : nullptr);
    execDialog(form);
}
