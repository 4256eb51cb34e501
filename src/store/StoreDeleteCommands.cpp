#include "store/StoreDeleteCommands.h"
#include "core/Progress.h"
#include "edit/EditSession.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/MainHooks.h"

#include <QDialog>

namespace {
const QString LevelSeries = QStringLiteral("Serie");
}

StoreDeleteCommands::StoreDeleteCommands(Station &station, StoreSelection &selection, EditSession &edits,
                                         CommandTable &commands, MainHooks &hooks, QWidget *parent)
    : QObject(parent), m_station(station), m_state(selection), m_edits(edits), m_hooks(hooks), m_parent(parent)
{
    execDialog = [](QDialog &d) { return d.exec(); };
    commands.hook(Cmd::PatientDelete, [this] { deletePatient(); });
    commands.hook(Cmd::PatientDeleteAll, [this] { deleteAllPatients(); });
    commands.hook(Cmd::StudyDelete, [this] { deleteStudy(); });
    commands.hook(Cmd::SeriesDelete, [this] { deleteSeries(); });
    commands.hook(Cmd::ImageDelete, [this] { deleteImage(); });
}

void StoreDeleteCommands::leaveImages()
{
    // Whatever was pending belongs to the images being deleted; the viewer empties and
    // the status panels say nothing.
    m_edits.clear();
    m_state.resetViewer();
}

void StoreDeleteCommands::deletePatient()
{
    // The patient of the context menu: the one right-clicked, else the current one.
    const qint64 key = m_state.popupPatId() > 0 ? m_state.popupPatId() : m_state.patId();
    if (key <= 0)
        return;
    runDeletion({StoreDeletion::Level::Patient, key});
}

void StoreDeleteCommands::deleteStudy()
{
    // The study highlighted in the study list.
    if (!m_state.takeHighlightedStudy())
        return;
    // The last study of a patient is the patient, by the database as it is now.
    m_station.trap(QStringLiteral("MainForm PopUpStudie_Delete_Click"), [this] {
        NoProgress none;
        const StoreDeletion d(m_station.paths(), m_station.log(), none);
        runDeletion(d.escalated({StoreDeletion::Level::Study, m_state.studyId().toLongLong()}));
    });
}

void StoreDeleteCommands::deleteSeries()
{
    // The series highlighted in the series list, of the highlighted study.
    const qint64 seriesId = m_state.highlightedSeriesId();
    if (seriesId <= 0)
        return;
    m_state.takeHighlightedStudy();
    m_state.setSeriesId(seriesId);
    m_station.trap(QStringLiteral("MainForm PopUpSerie_Delete_Click"), [this] {
        NoProgress none;
        const StoreDeletion d(m_station.paths(), m_station.log(), none);
        runDeletion(d.escalated({StoreDeletion::Level::Series, m_state.seriesId()}));
    });
}

void StoreDeleteCommands::deleteAllPatients()
{
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete all database entries and images?"), MsgIcon::Question))
        return;
    leaveImages();
    StoreDeletion::Result result;
    EditForm::Job job;
    job.operation = EditForm::DeleteAll;
    job.procedure = QStringLiteral("EditForm DeleteAllTimer");
    job.errorPrefix = QStringLiteral("Fehler #");
    job.work = [this, &result](EditForm &f) {
        StoreDeletion d(m_station.paths(), m_station.log(), f);
        d.withDoseReports = true;
        result = d.deleteAll();
    };
    EditForm form(m_station, std::move(job), &m_hooks, m_parent->window());
    execDialog(form);
    m_state.announceStoreEmptied();
}

void StoreDeleteCommands::runDeletion(StoreDeletion::Target target)
{
    using Level = StoreDeletion::Level;
    EditForm::Job job;
    switch (target.level) {
    case Level::Patient:
        job.operation = EditForm::DeletePatient;
        job.procedure = QStringLiteral("EditForm DeletePatientFromDatabase");
        break;
    case Level::Study:
        job.operation = EditForm::DeleteStudy;
        job.procedure = QStringLiteral("EditForm DeleteStudyFromDatabase");
        break;
    case Level::Series:
        job.operation = EditForm::DeleteSeries;
        job.procedure = QStringLiteral("EditForm DeleteSeriesFromDatabase");
        break;
    default:
        return;
    }
    // What the operator asked to delete is what is there now: images filed into it while
    // the deletion runs stay (and show in the lists afterwards).
    QStringList confirmed;
    if (!m_station.trap(job.procedure, [&] { confirmed = StoreDeletion::imageUidsOf(m_station.paths(), target); }))
        return;
    leaveImages();
    StoreDeletion::Result result;
    job.work = [this, target, confirmed, &result](EditForm &f) {
        StoreDeletion d(m_station.paths(), m_station.log(), f);
        d.withDoseReports = true;
        if (target.level == Level::Patient)
            result = d.deletePatient(target.key, &confirmed);
        else if (target.level == Level::Study)
            result = d.deleteStudy(target.key, &confirmed);
        else
            result = d.deleteSeries(target.key, &confirmed);
    };
    EditForm form(m_station, std::move(job), &m_hooks, m_parent->window());
    execDialog(form);
    m_state.announceDeletion(result);
}

void StoreDeleteCommands::deleteImage()
{
    const int n = m_state.currentImage();
    if (n < 1)
        return;
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete image?"), MsgIcon::Question))
        return;
    const QString uid = m_state.currentImageUid();
    m_station.trap(QStringLiteral("MainForm PopupDeleteImage_Click"), [&] {
        NoProgress none;
        StoreDeletion d(m_station.paths(), m_station.log(), none);
        d.withDoseReports = true;
        // The last image of what the viewer holds: the container goes instead.
        const auto level =
            m_state.loadLevel() == LevelSeries ? StoreDeletion::Level::Series : StoreDeletion::Level::Study;
        const StoreDeletion::Target container = d.containerOfLastImage(uid, level);
        if (container.level != StoreDeletion::Level::Image) {
            runDeletion(container);
            return;
        }
        const StoreDeletion::Result r = d.deleteImage(uid);
        m_state.removeViewerImage(n);
        m_state.announceDeletion(r);
    });
}
