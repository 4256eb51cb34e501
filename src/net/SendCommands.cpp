#include "net/SendCommands.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Leftovers.h"
#include "core/Progress.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/Image.h"
#include "dose/DoseMerge.h"
#include "dose/DoseReports.h"
#include "dose/DoseState.h"
#include "edit/EditSession.h"
#include "edit/ModifyImage.h"
#include "net/Destinations.h"
#include "store/Commitments.h"
#include "store/StoreDeletion.h"
#include "store/StoreQueries.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/DoseReportForm.h"
#include "ui/EditForm.h"
#include "ui/MainHooks.h"
#include "ui/SelectPosForm.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QMenu>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <unistd.h>

namespace {

const char *const MenuNames[] = {Menu::SeriesSendTo, Menu::StudySendTo, Menu::PatientSendTo};

const QString NoPatientText = QStringLiteral("Please select a patient from the list!");
const QString NoDefaultText = QStringLiteral("No default SCP configured!");

// The hourglass for as long as a scope runs.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

} // namespace

SendCommands::SendCommands(Station &station, StoreSelection &selection, DoseState &dose, EditSession &edits,
                           CommandTable &commands, MainHooks &hooks, std::function<std::vector<qint64>()> listedDoses,
                           QWidget *parent)
    : QObject(parent), m_station(station), m_selection(selection), m_dose(dose), m_edits(edits), m_commands(commands),
      m_hooks(hooks), m_listedDoses(std::move(listedDoses)), m_parent(parent)
{
    execDialog = [](QDialog &d) { return d.exec(); };
    showReport = [this](const QString &file) {
        m_station.trapAndShow(ReportProcedure, [&] {
            DoseReportForm form(DoseReports::read(file), m_parent ? m_parent->window() : nullptr);
            form.exec();
        });
    };
    commands.hook(Cmd::ToolbarSend, [this] { sendToDefault(); });
    commands.hook(Cmd::MergeImages, [this] { mergeImages(); });
    commands.hook(Cmd::Manually, [this] { manually(); });
    commands.hook(Cmd::DoseReport, [this] { doseReport(); });
    const SendTransfer::Level levels[] = {SendTransfer::Level::Series, SendTransfer::Level::Study,
                                          SendTransfer::Level::Patient};
    for (int i = 0; i < 3; ++i) {
        if (QMenu *m = commands.menu(QString::fromLatin1(MenuNames[i])))
            connect(m, &QMenu::triggered, this,
                    [this, level = levels[i]](QAction *a) { sendTo(level, a->data().toString()); });
    }
    hooks.updateSendToEntries.push_back([this] { UpdateSendToEntries(); });
    // Staged copies of a send or merge the station's end cut off are of no use.
    hooks.prepareDataFiles.push_back(
        [this] { Leftovers::removeStagingFolders(m_station.paths().binDir(), StagePrefix); });
    // The Options dialog may have added, changed, deleted or made default a destination.
    hooks.optionsClosed.push_back([this] { UpdateSendToEntries(); });
    // Reports that came while the station was closed, then those that come as it runs.
    hooks.updateSendToEntries.push_back([this] { applyCommitmentReports(); });
    hooks.refreshTick.push_back([this] { applyCommitmentReports(); });
}

SendCommands::~SendCommands() = default;

void SendCommands::fillMenu(QMenu *menu, const std::vector<Destination> &list)
{
    menu->clear();
    for (const Destination &d : list) {
        QAction *a = menu->addAction(d.alias);
        a->setData(Destinations::tag(d.aet, d.ip, d.port));
    }
    menu->setEnabled(!list.empty());
    menu->menuAction()->setVisible(!list.empty());
}

void SendCommands::UpdateSendToEntries()
{
    // A destination deleted meanwhile must not stay the default one.
    m_default = PeerAddress();
    for (const char *name : MenuNames)
        if (QMenu *m = m_commands.menu(QString::fromLatin1(name)))
            fillMenu(m, {});
    m_station.trap(QStringLiteral("MainForm UpdateSendToEntries"), [&] {
        const std::vector<Destination> list = Destinations(m_station).list();
        for (const Destination &d : list)
            if (d.isDefault)
                m_default = d.peer();
        for (const char *name : MenuNames)
            if (QMenu *m = m_commands.menu(QString::fromLatin1(name)))
                fillMenu(m, list);
    });
}

bool SendCommands::incomplete(const PeerAddress &p)
{
    if (!p.aet.isEmpty() && !p.ip.isEmpty() && !p.port.isEmpty())
        return false;
    m_station.prompter().message(QStringLiteral("Incomplete Storage Class Provider values!\nAET: %1\nIP: %2\nPort: %3")
                                     .arg(p.aet, p.ip, p.port));
    return true;
}

bool SendCommands::SCPOnline(const QStringList &files)
{
    m_sender.reset();
    const Settings &s = m_station.settings();
    auto sender = std::make_unique<dicom::StoreSender>(
        dicom::StoreSender::Peer{s.scp.ip, s.scp.port, s.irAet, s.scp.aet, s.security.forPeer(s.scp.ip, s.scp.port)},
        timeouts);
    try {
        WaitCursor wait;
        sender->open(files);
    } catch (const std::exception &e) {
        m_station.showError(e, QStringLiteral("MainForm SCPOnline"));
        return false;
    }
    m_sender = std::move(sender);
    return true;
}

void SendCommands::sendTo(SendTransfer::Level level, const QString &tag)
{
    const PeerAddress p = Destinations::splitTag(tag);
    if (incomplete(p))
        return;
    m_station.settings().scp = p;
    // The series the menu was opened on.
    if (level == SendTransfer::Level::Series && m_selection.popupSeriesId() > 0)
        m_selection.setSeriesId(m_selection.popupSeriesId());
    run(level, m_station.paths().binDir());
}

bool SendCommands::checkDefault()
{
    if (!m_selection.hasPatient()) {
        m_station.prompter().message(NoPatientText, MsgIcon::Information);
        return false;
    }
    if (m_default.ip.isEmpty() && m_default.aet.isEmpty() && m_default.port.isEmpty()) {
        m_station.prompter().message(NoDefaultText, MsgIcon::Information);
        return false;
    }
    return true;
}

void SendCommands::sendToDefault()
{
    if (!checkDefault())
        return;
    sendPatientToDefault(m_station.paths().binDir());
}

void SendCommands::sendPatientToDefault(const QString &stagingDir)
{
    if (incomplete(m_default))
        return;
    m_station.settings().scp = m_default;
    run(SendTransfer::Level::Patient, stagingDir);
}

void SendCommands::run(SendTransfer::Level level, const QString &stagingDir)
{
    if (level != SendTransfer::Level::Patient && m_selection.studyUid().isEmpty())
        return;
    if (level == SendTransfer::Level::Series && m_selection.seriesId() == 0)
        return;
    if (level == SendTransfer::Level::Patient && !m_selection.hasPatient())
        return;

    // Asked before anything opens: an answer No leaves no association behind.
    if (m_edits.pendingTasks() > 0) {
        if (!m_station.prompter().askYesNo(QStringLiteral("Undone tasks in list!\nContinue?"), MsgIcon::Question))
            return;
        m_commands.run(QString::fromLatin1(Cmd::TaskListClear));
        m_edits.clear();
    }

    // What goes: known before connecting, so the association proposes its kinds.
    QStringList files;
    QList<SendTransfer::StudyPlan> plans;
    const bool planned = m_station.trapAndShow(QStringLiteral("MainForm SendImages"), [&] {
        if (level == SendTransfer::Level::Series) {
            files = SendTransfer::seriesFiles(m_station, m_selection.seriesId());
        } else if (level == SendTransfer::Level::Study) {
            bool ok = false;
            const qint64 studyId = m_selection.studyId().toLongLong(&ok);
            if (!ok)
                throw AppError(ErrorNo::General, QStringLiteral("No study is selected"));
            plans << SendTransfer::studyPlan(m_station, studyId, stagingDir);
        } else {
            plans = SendTransfer::patientPlan(m_station, m_selection.patId(), stagingDir);
        }
        files += SendTransfer::filesOf(plans);
    });
    if (!planned || !SCPOnline(files))
        return;
    if (!m_selection.clearCurrentImage())
        m_selection.notifyImagePicked();

    // A destination asked for storage commitment keeps the images until it has them.
    bool commitment = false;
    m_station.trap(QStringLiteral("MainForm SendImages"), [&] {
        if (const std::optional<Destination> d = Destinations(m_station).find(m_station.settings().scp))
            commitment = d->storageCommitment;
    });
    QString commitmentProblem;
    bool reported = false;

    EditForm::Job job;
    job.doneText = QStringLiteral("Tasks done!");
    const qint64 seriesId = m_selection.seriesId();
    const qint64 patId = m_selection.patId();
    const QString patName = m_selection.patName();
    bool success = false, patientGone = false;
    switch (level) {
    case SendTransfer::Level::Series:
        job.operation = EditForm::SendSeries;
        job.procedure = SendTransfer::SeriesProcedure;
        break;
    case SendTransfer::Level::Study:
        job.operation = EditForm::SendStudy;
        job.procedure = SendTransfer::StudyProcedure;
        break;
    case SendTransfer::Level::Patient:
        job.operation = EditForm::SendPatient;
        job.procedure = SendTransfer::PatientProcedure;
        break;
    }
    job.work = [&, level](EditForm &f) {
        SendTransfer t(m_station, f, *m_sender);
        t.commitment = commitment;
        t.tellOperator = [this](const QString &text) { m_station.prompter().message(text, MsgIcon::Information); };
        t.removeFromStore = [this, &f](SendTransfer::Level l, qint64 key, const QStringList &uids) {
            // Exactly the images the destination accepted: what arrived meanwhile stays.
            static const QString names[] = {SendTransfer::SeriesProcedure, SendTransfer::StudyProcedure,
                                            SendTransfer::PatientProcedure};
            StoreDeletion d(m_station.paths(), m_station.log(), f);
            SendTransfer::Removed r;
            const StoreDeletion::Result gone = d.deleteImages(uids, names[int(l)]);
            r.ok = gone.filesFailed == 0;
            const StoreDeletion::Level container = l == SendTransfer::Level::Series  ? StoreDeletion::Level::Series
                                                   : l == SendTransfer::Level::Study ? StoreDeletion::Level::Study
                                                                                     : StoreDeletion::Level::Patient;
            r.stayed = StoreDeletion::imagesIn(m_station.paths(), container, key);
            r.patientGone = l == SendTransfer::Level::Patient ? gone.patients.contains(key) : !gone.patients.isEmpty();
            return r;
        };
        try {
            if (level == SendTransfer::Level::Series)
                t.sendSeries(seriesId);
            else if (level == SendTransfer::Level::Study)
                t.sendStudy(plans.first());
            else
                t.sendPatient(patName, patId, plans);
        } catch (...) {
            t.finish();
            m_sender->close();
            throw;
        }
        t.finish();
        // The association ends with the transfer, before OK is offered.
        m_sender->close();
        success = t.sendSuccess();
        patientGone = t.patientRemoved();
        if (commitment && !t.accepted().isEmpty()) {
            QList<Commitments::Item> items;
            for (const SendTransfer::Accepted &a : t.accepted())
                items << Commitments::Item{a.sopClass, a.sopInstance, a.imageUid, a.studyUid, a.removeWhenCommitted};
            f.append(QStringLiteral("Asking for storage commitment ... "));
            const Commitments::Outcome o =
                Commitments(m_station.paths(), m_station.log())
                    .request(m_station.settings().scp, m_station.settings().irAet, timeouts, items,
                             commitmentReportWaitMs,
                             m_station.settings().security.forPeer(m_station.settings().scp.ip,
                                                                   m_station.settings().scp.port));
            if (o.accepted) {
                f.appendLine(o.reported ? QStringLiteral("committed") : QStringLiteral("OK"));
                reported = o.reported;
            } else {
                f.appendLine(QStringLiteral("failed"));
                f.appendLine(o.problem);
                commitmentProblem = o.problem;
            }
        }
    };
    {
        EditForm form(m_station, std::move(job), &m_hooks, m_parent ? m_parent->window() : nullptr);
        execDialog(form);
        lastProgressText = form.progressText();
    }
    m_sender.reset();
    if (!commitmentProblem.isEmpty())
        m_station.prompter().message(
            QStringLiteral("The destination was not asked for storage commitment: %1\nThe images stay in the store.")
                .arg(commitmentProblem),
            MsgIcon::Warning);
    if (reported)
        applyCommitmentReports();

    // The lists follow what the send removed.
    if (patientGone)
        m_selection.notifyPatientDeleted();
    if (success || patientGone || level != SendTransfer::Level::Series)
        m_commands.run(QString::fromLatin1(Cmd::RefreshList));
}

void SendCommands::applyCommitmentReports()
{
    // Not while a transfer or a load holds the store.
    if (m_station.busy)
        return;
    int removed = 0;
    m_station.trap(QStringLiteral("MainForm ApplyCommitments"), [&] {
        Commitments c(m_station.paths(), m_station.log());
        c.applyReports();
        removed = c.removeCommitted([this](const QStringList &uids) {
            // The same removal a send makes, by SOP Instance UID.
            NoProgress none;
            StoreDeletion d(m_station.paths(), m_station.log(), none);
            d.deleteImages(uids, QStringLiteral("MainForm ApplyCommitments"));
            QStringList gone;
            Database db = Database::openData(m_station.paths());
            for (const QString &uid : uids)
                if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"), {uid}).toLongLong()
                    == 0)
                    gone << uid;
            return gone;
        });
    });
    if (removed > 0) {
        // The lists follow; the patient in view may be gone.
        QTimer::singleShot(0, this, [this] {
            bool gone = false;
            if (m_selection.hasPatient())
                m_station.trap(QStringLiteral("MainForm ApplyCommitments"), [&] {
                    Database db = Database::openData(m_station.paths());
                    gone = db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblPatienten WHERE PatID = ?"),
                                     {m_selection.patId()})
                               .toLongLong()
                           == 0;
                });
            if (gone)
                m_selection.notifyPatientDeleted();
            m_commands.run(QString::fromLatin1(Cmd::RefreshList));
        });
    }
}

QString SendCommands::newStagingFolder() const
{
    // Each send stages into a folder of its own: nothing another send left behind goes
    // out with it.
    return m_station.paths().binDir() + QLatin1Char('/') + StagePrefix
           + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmsszzz")) + QLatin1Char('-')
           + QString::number(::getpid());
}

DoseMerge::Situation SendCommands::mergeSituation(const std::vector<qint64> &ids)
{
    DoseMerge::Situation s;
    // The patient whose study is open, from the store itself; the picked patient only
    // when the study is not (or no longer) stored.
    std::optional<PatientRow> owner;
    if (!m_selection.studyUid().isEmpty()) {
        Database db = Database::openData(m_station.paths());
        owner = StoreQueries::patientOfStudy(db, m_selection.studyUid());
    }
    if (owner) {
        s.studyPatient = {owner->patId1, owner->firstName, owner->lastName, owner->birthDate};
        s.studyPatientName = owner->displayName();
    } else {
        s.studyPatient = DoseOwner::ofStorePatient(m_selection.storePatient());
        s.studyPatientName = m_selection.patName();
    }
    s.records = DoseMerge(m_station).records(ids);
    s.images = int(m_selection.viewerFiles().size());
    for (const DoseState::UnstoredExposure &u : m_dose.unstoredExposures)
        if (DoseList::belongsTo(u.patientId, u.firstName, u.lastName, u.birthDate, s.studyPatient))
            s.unstoredNumbers << u.imageNo;
    s.unstoredReason = m_dose.unstoredReason;
    s.pendingExposures = m_dose.pendingExposures;
    s.arriving = DoseMerge::arrivingFiles(m_station);
    return s;
}

bool SendCommands::refuse(const QString &text, const QString &procedure)
{
    if (text.isEmpty())
        return false;
    m_station.log().writeError(ErrorNo::BadInput, QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')),
                               procedure);
    m_station.prompter().message(text, MsgIcon::Information);
    return true;
}

void SendCommands::mergeImages()
{
    if (m_station.busy) {
        m_station.prompter().message(QStringLiteral("Please wait until the images are loaded."), MsgIcon::Information);
        return;
    }
    if (!checkDefault())
        return;
    const std::vector<qint64> ids = m_listedDoses ? m_listedDoses() : std::vector<qint64>();
    const QStringList viewer = m_selection.viewerFiles();
    QString folder;
    DoseReports reports(m_station);
    QString report, reportProblem;
    try {
        // Only the study's own patient's doses, all of them stored, one for each image.
        const DoseMerge::Situation situation = mergeSituation(ids);
        if (refuse(DoseMerge::refusal(situation, viewer), DoseMerge::Procedure))
            return;
        DoseMerge merge(m_station);
        QList<DoseMerge::Planned> planned = merge.plan(situation.records, viewer);
        // Each exposure's Irradiation Event UID, kept with its record: its image and the
        // study's dose report name the same event.
        const DoseReports::Events events = reports.assignEvents(ids, m_selection.studyUid());
        for (DoseMerge::Planned &p : planned)
            p.eventUid = events.eventOf.value(p.record.id);
        folder = newStagingFolder();
        merge.stage(planned, folder);
        // The report goes with the study; the images go also when it cannot be made.
        try {
            report = reports.make(ids, events.studyUid, viewer).file;
        } catch (const std::exception &e) {
            reportProblem = QString::fromLocal8Bit(e.what());
            m_station.logError(ErrorNo::General, QStringLiteral("The dose report was not made: ") + reportProblem,
                               ReportProcedure);
        }
    } catch (const AppError &e) {
        if (!folder.isEmpty())
            QDir(folder).removeRecursively();
        m_station.logError(e, DoseMerge::Procedure);
        if (e.number() == ErrorNo::BadInput)
            m_station.prompter().message(e.description(), MsgIcon::Information);
        else
            m_station.showError(e, DoseMerge::Procedure);
        return;
    } catch (const std::exception &e) {
        if (!folder.isEmpty())
            QDir(folder).removeRecursively();
        m_station.showError(e, DoseMerge::Procedure);
        return;
    }
    sendPatientToDefault(folder);
    // The staged copies served this send only.
    QDir(folder).removeRecursively();
    if (!report.isEmpty())
        sendToDoseRegistries(report, m_default);
    else if (!reportProblem.isEmpty())
        m_station.prompter().message(QStringLiteral("The images were sent without their dose report: ") + reportProblem,
                                     MsgIcon::Warning);
}

QString SendCommands::sendReport(const PeerAddress &peer, const QString &report)
{
    const Settings &s = m_station.settings();
    dicom::StoreSender sender(
        dicom::StoreSender::Peer{peer.ip, peer.port, s.irAet, peer.aet, s.security.forPeer(peer.ip, peer.port)},
        timeouts);
    try {
        WaitCursor wait;
        sender.open({report});
        const dicom::StoreSender::FileResult r = sender.send(report);
        sender.close();
        return r.sent ? QString() : r.problem;
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    }
}

QStringList SendCommands::sendToDoseRegistries(const QString &report, const PeerAddress &alreadySent)
{
    QStringList failed;
    std::vector<Destination> registries;
    if (!m_station.trap(ReportProcedure, [&] { registries = Destinations(m_station).doseRegistries(); }))
        return {QStringLiteral("the list of dose registries cannot be read")};
    for (const Destination &d : registries) {
        // The destination the study went to has the report already.
        if (d.ip == alreadySent.ip && d.aet == alreadySent.aet && d.port == alreadySent.port)
            continue;
        const QString problem = sendReport(d.peer(), report);
        if (problem.isEmpty()) {
            m_station.log().writeDebug(QStringLiteral("Dose report sent to the dose registry %1").arg(d.alias), report);
            continue;
        }
        m_station.logError(
            ErrorNo::Network,
            QStringLiteral("The dose report was not sent to the dose registry %1: %2").arg(d.alias, problem),
            ReportProcedure);
        failed << QStringLiteral("%1 (%2)").arg(d.alias, problem);
    }
    if (!failed.isEmpty())
        m_station.prompter().message(
            QStringLiteral("The dose report did not reach the dose registry:\n") + failed.join(QLatin1Char('\n'))
                + QStringLiteral("\nIt is kept; \"Dose report\" on the dose list sends it again."),
            MsgIcon::Warning);
    return failed;
}

void SendCommands::doseReport()
{
    const std::vector<qint64> ids = m_listedDoses ? m_listedDoses() : std::vector<qint64>();
    if (ids.empty()) {
        m_station.prompter().message(QStringLiteral("There are no dose records in the list to report."),
                                     MsgIcon::Information);
        return;
    }
    QString file;
    const bool made = m_station.trapAndShow(ReportProcedure, [&] {
        // The study open in the viewer, when the records are its patient's; otherwise the
        // study they were reported in before (or a new one).
        QString study;
        if (!m_selection.studyUid().isEmpty() && DoseMerge::foreignRefusal(mergeSituation(ids)).isEmpty())
            study = m_selection.studyUid();
        DoseReports reports(m_station);
        const DoseReports::Events events = reports.assignEvents(ids, study);
        // A kept report of exactly these exposures (made at the merge, with its image
        // links) is not replaced by one without them.
        const QString kept = reports.keptFile(events.studyUid);
        if (!kept.isEmpty()) {
            QSet<QString> keptEvents, own;
            for (const DoseEvent &e : DoseReports::read(kept).events)
                keptEvents << e.eventUid;
            for (const QString &uid : events.eventOf)
                own << uid;
            if (keptEvents == own)
                file = kept;
        }
        if (file.isEmpty())
            file = reports.make(ids, events.studyUid).file;
    });
    if (!made)
        return;
    QStringList notReached;
    if (!m_default.ip.isEmpty() && !m_default.aet.isEmpty() && !m_default.port.isEmpty()) {
        const QString problem = sendReport(m_default, file);
        if (!problem.isEmpty()) {
            m_station.logError(ErrorNo::Network, QStringLiteral("The dose report was not sent: ") + problem,
                               ReportProcedure);
            m_station.prompter().message(QStringLiteral("The dose report was not sent: ") + problem, MsgIcon::Warning);
        }
    }
    sendToDoseRegistries(file, m_default);
    lastReport = file;
    if (showReport)
        showReport(file);
}

void SendCommands::manually()
{
    if (m_station.busy)
        return;
    if (!checkDefault())
        return;
    if (m_selection.currentImage() < 1 || m_selection.currentImageFile().isEmpty()) {
        m_station.prompter().message(QStringLiteral("Please select an image first!"), MsgIcon::Information);
        return;
    }
    static const QString Procedure = QStringLiteral("MainForm cmdSelected_Click");
    // The dose rows listed must be this patient's: their OK assigns them to the patient.
    bool foreign = true;
    m_station.trapAndShow(Procedure, [&] {
        foreign =
            refuse(DoseMerge::foreignRefusal(mergeSituation(m_listedDoses ? m_listedDoses() : std::vector<qint64>())),
                   Procedure);
    });
    if (foreign)
        return;
    m_dose.assignmentMode = AssignmentMode::SelectedRow;
    const QString folder = newStagingFolder();
    const bool staged = m_station.trapAndShow(Procedure, [&] {
        auto img = dicom::Image::readFile(m_selection.currentImageFile());
        // The staged copy is named after the stored image it stands for: the send takes it
        // in that image's place (and removes that image when it was accepted), also when
        // the copy became a new object with a UID of its own.
        const QString uid = img->sopInstanceUid();
        if (!isValidUid(uid))
            throw AppError(ErrorNo::Dicom, QStringLiteral("The image has no valid SOP Instance UID"));
        QWidget *owner = m_parent ? m_parent->window() : nullptr;
        ModifyImage modify([owner](const dicom::Image &i) { return SelectPosForm::ask(i, owner); },
                           [owner](const dicom::Image &i) { return SelectPosForm::askView(i, owner); });
        modify.apply(*img);
        if (!QDir().mkpath(folder))
            throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create %1").arg(folder));
        // The modified image is staged, so the patient send has it to send.
        img->writeFile(folder + QLatin1Char('/') + uid + QStringLiteral(".dcm"));
    });
    if (staged)
        sendPatientToDefault(folder);
    QDir(folder).removeRecursively();
}
