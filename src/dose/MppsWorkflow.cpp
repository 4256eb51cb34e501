#include "dose/MppsWorkflow.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Station.h"
#include "dicom/MppsSender.h"
#include "dicom/Uid.h"
#include "dose/DoseReports.h"
#include "net/MppsOutbox.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSysInfo>
#include <cmath>

namespace {

const QString Procedure = QStringLiteral("MppsWorkflow");

const char *const CreateTable = "CREATE TABLE IF NOT EXISTS tblMppsStep ("
                                " StepUID TEXT PRIMARY KEY, PatientID TEXT NOT NULL, State TEXT NOT NULL,"
                                " Scheduled TEXT NOT NULL, StartDate TEXT, StartTime TEXT, Written TEXT)";

QJsonArray codesJson(const QList<dicom::WorklistAnswer::Code> &codes)
{
    QJsonArray a;
    for (const auto &c : codes)
        a.append(QJsonObject{{"value", c.value}, {"scheme", c.scheme}, {"meaning", c.meaning}});
    return a;
}

QList<dicom::WorklistAnswer::Code> codesOf(const QJsonValue &v)
{
    QList<dicom::WorklistAnswer::Code> out;
    for (const QJsonValue &c : v.toArray()) {
        const QJsonObject o = c.toObject();
        out << dicom::WorklistAnswer::Code{o["value"].toString(), o["scheme"].toString(), o["meaning"].toString()};
    }
    return out;
}

QString scheduledJson(const dicom::WorklistAnswer &a)
{
    const QJsonObject o{{"patientName", a.patientName},
                        {"patientId", a.patientId},
                        {"issuer", a.issuerOfPatientId},
                        {"birthDate", a.birthDate},
                        {"sex", a.sex},
                        {"accession", a.accessionNumber},
                        {"studyUid", a.studyUid},
                        {"requestedProcedureId", a.requestedProcedureId},
                        {"requestedProcedureDescription", a.requestedProcedureDescription},
                        {"stepId", a.stepId},
                        {"stepDescription", a.stepDescription},
                        {"procedureCodes", codesJson(a.procedureCodes)},
                        {"protocolCodes", codesJson(a.protocolCodes)}};
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

dicom::WorklistAnswer scheduledOf(const QString &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    dicom::WorklistAnswer a;
    a.patientName = o["patientName"].toString();
    a.patientId = o["patientId"].toString();
    a.issuerOfPatientId = o["issuer"].toString();
    a.birthDate = o["birthDate"].toString();
    a.sex = o["sex"].toString();
    a.accessionNumber = o["accession"].toString();
    a.studyUid = o["studyUid"].toString();
    a.requestedProcedureId = o["requestedProcedureId"].toString();
    a.requestedProcedureDescription = o["requestedProcedureDescription"].toString();
    a.stepId = o["stepId"].toString();
    a.stepDescription = o["stepDescription"].toString();
    a.procedureCodes = codesOf(o["procedureCodes"]);
    a.protocolCodes = codesOf(o["protocolCodes"]);
    return a;
}

std::vector<dicom::DataSet> codeItems(const QList<dicom::WorklistAnswer::Code> &codes)
{
    std::vector<dicom::DataSet> items;
    for (const auto &c : codes) {
        dicom::DataSet item;
        item.set(0x0008, 0x0100, c.value);
        item.set(0x0008, 0x0102, c.scheme);
        item.set(0x0008, 0x0104, c.meaning);
        items.push_back(item);
    }
    return items;
}

bool isAscii(const QString &s)
{
    for (QChar c : s)
        if (c.unicode() > 0x7E)
            return false;
    return true;
}

// A record's capture date and time as DICOM DA and TM.
std::pair<QString, QString> dicomDateTime(const QString &date, const QString &time)
{
    QString t = time.trimmed();
    t.remove(QLatin1Char(':'));
    return {DateText::toDicomDate(date.trimmed()), t};
}

QString number(double v) { return DoseReport::numberText(v); }

} // namespace

MppsWorkflow::MppsWorkflow(Station &station) : m_station(station) {}

QString MppsWorkflow::stationAet(const Settings &s) { return ::stationAet(s); }

bool MppsWorkflow::enabled() const
{
    const PeerAddress &p = m_station.settings().mpps;
    return !p.aet.trimmed().isEmpty() && !p.ip.trimmed().isEmpty() && !p.port.trimmed().isEmpty();
}

void MppsWorkflow::ensureTable()
{
    Database db = Database::openData(m_station.paths());
    db.exec(QString::fromLatin1(CreateTable));
}

QList<MppsWorkflow::Step> MppsWorkflow::stepsWhere(const QString &condition, const QVariantList &binds)
{
    QList<Step> out;
    ensureTable();
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT StepUID, PatientID, State, Scheduled, StartDate, StartTime"
                                         " FROM tblMppsStep WHERE ")
                              + condition + QStringLiteral(" ORDER BY rowid"),
                          binds);
    while (q.next()) {
        Step s;
        s.uid = q.value(0).toString();
        s.patientId = q.value(1).toString();
        s.state = q.value(2).toString();
        s.scheduled = scheduledOf(q.value(3).toString());
        s.startDate = q.value(4).toString();
        s.startTime = q.value(5).toString();
        out << s;
    }
    return out;
}

QList<MppsWorkflow::Step> MppsWorkflow::steps() { return stepsWhere(QStringLiteral("1 = 1"), {}); }

QList<MppsWorkflow::Step> MppsWorkflow::openSteps()
{
    return stepsWhere(QStringLiteral("State IN (?, ?)"), {Scheduled, InProgress});
}

std::optional<MppsWorkflow::Step> MppsWorkflow::openStep(const QString &patientId)
{
    // The newest, when there were several.
    const QList<Step> open =
        stepsWhere(QStringLiteral("PatientID = ? AND State IN (?, ?)"), {patientId, Scheduled, InProgress});
    if (open.isEmpty())
        return std::nullopt;
    return open.last();
}

void MppsWorkflow::setState(const QString &uid, const QString &state, const QString &startDate,
                            const QString &startTime)
{
    Database db = Database::openData(m_station.paths());
    if (startDate.isEmpty())
        db.exec(QStringLiteral("UPDATE tblMppsStep SET State = ? WHERE StepUID = ?"), {state, uid});
    else
        db.exec(QStringLiteral("UPDATE tblMppsStep SET State = ?, StartDate = ?, StartTime = ? WHERE StepUID = ?"),
                {state, startDate, startTime, uid});
}

void MppsWorkflow::patientChosen(const dicom::WorklistAnswer &answer)
{
    if (!enabled() || answer.patientId.trimmed().isEmpty())
        return;
    m_station.trap(Procedure, [&] {
        dicom::WorklistAnswer scheduled = answer;
        if (const std::optional<Step> open = openStep(answer.patientId)) {
            // An examination with exposures goes on as it began.
            if (open->state == InProgress)
                return;
            if (scheduled.studyUid.isEmpty())
                scheduled.studyUid = open->scheduled.studyUid;
            Database db = Database::openData(m_station.paths());
            db.exec(QStringLiteral("UPDATE tblMppsStep SET Scheduled = ? WHERE StepUID = ?"),
                    {scheduledJson(scheduled), open->uid});
            return;
        }
        // A step is always for a study: one the worklist did not name is made here.
        if (!isValidUid(scheduled.studyUid))
            scheduled.studyUid = dicom::newUid();
        Database db = Database::openData(m_station.paths());
        db.exec(QStringLiteral("INSERT INTO tblMppsStep (StepUID, PatientID, State, Scheduled, Written)"
                               " VALUES (?, ?, ?, ?, ?)"),
                {dicom::newUid(), answer.patientId, Scheduled, scheduledJson(scheduled), DateText::now()});
    });
}

QList<DoseEvent> MppsWorkflow::openExposures(const QString &patientId)
{
    QList<DoseEvent> out;
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT ImgNo, XrayComm, mGy1, mGy2, mGy3, expTime, \"Date\", \"Time\""
                                         " FROM tblDosis WHERE Status = '0' AND WorklistPatID = ? ORDER BY ImgNo, ID"),
                          {patientId});
    while (q.next()) {
        DoseEvent e;
        e.imageNo = q.value(0).toInt();
        const qint16 unit =
            q.value(1).isNull() ? m_station.settings().xrayComm : static_cast<qint16>(q.value(1).toInt());
        DoseReports::setValues(e, unit, q.value(2).toString(), q.value(3).toString(), q.value(4).toString(),
                               q.value(5).toString());
        const auto [da, tm] = dicomDateTime(q.value(6).toString(), q.value(7).toString());
        e.dateTime = da + tm;
        out << e;
    }
    return out;
}

void MppsWorkflow::recordsStored(const QString &patientId)
{
    if (!enabled() || patientId.isEmpty())
        return;
    m_station.trap(Procedure, [&] {
        std::optional<Step> step = openStep(patientId);
        if (!step || step->state != Scheduled)
            return;
        const QList<DoseEvent> exposures = openExposures(patientId);
        if (exposures.isEmpty())
            return;
        // The step began with its first exposure.
        QString first;
        for (const DoseEvent &e : exposures)
            if (!e.dateTime.isEmpty() && (first.isEmpty() || e.dateTime < first))
                first = e.dateTime;
        if (first.size() < 8)
            first = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
        step->startDate = first.left(8);
        step->startTime = first.mid(8, 6);
        const QString aet = stationAet(m_station.settings());
        MppsOutbox(m_station.paths())
            .add(step->uid, MppsOutbox::Kind::Create, createAttributes(*step, aet, QSysInfo::machineHostName()));
        setState(step->uid, InProgress, step->startDate, step->startTime);
        m_station.log().writeDebug(QStringLiteral("MPPS step %1 of patient %2 in progress").arg(step->uid, patientId));
    });
}

QList<MppsWorkflow::PerformedImage> MppsWorkflow::imagesOf(const Step &step)
{
    QList<PerformedImage> out;
    Database db = Database::openData(m_station.paths());
    // The images of the scheduled study; a modality that makes its own study UID: the
    // patient's newest study, when it was made during the step.
    QString study = step.scheduled.studyUid;
    if (db.scalar(QStringLiteral("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"), {study}, 0).toInt() == 0) {
        study.clear();
        QSqlQuery q = db.exec(QStringLiteral("SELECT st.StudyUID, st.StudyDate FROM tblStudies st"
                                             " JOIN tblPatienten p ON st.FKeyPATID = p.PatID"
                                             " WHERE p.PatID1 = ? ORDER BY st.StudyID DESC LIMIT 1"),
                              {step.patientId});
        if (q.next()) {
            const QString date = DateText::toDicomDate(q.value(1).toString().trimmed());
            if (date.isEmpty() || step.startDate.isEmpty() || date >= step.startDate)
                study = q.value(0).toString();
        }
    }
    if (study.isEmpty())
        return out;
    QSqlQuery q =
        db.exec(QStringLiteral("SELECT se.SeriesUID, i.SOPClassUID, i.ImageUID FROM tblImages i"
                               " JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                               " JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                               " WHERE st.StudyUID = ? ORDER BY se.SeriesNr, se.SeriesID, i.ImageNr, i.ImageID"),
                {study});
    while (q.next())
        out << PerformedImage{q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
    return out;
}

void MppsWorkflow::finish(const Step &step, const QString &status, const std::optional<Reason> &reason)
{
    const QList<DoseEvent> exposures = openExposures(step.patientId);
    const QList<PerformedImage> images = imagesOf(step);
    const QDateTime now = QDateTime::currentDateTime();
    QString protocol = step.scheduled.stepDescription;
    if (protocol.isEmpty())
        protocol = step.scheduled.requestedProcedureDescription;
    if (protocol.isEmpty())
        protocol = QStringLiteral("Mammography");
    MppsOutbox(m_station.paths())
        .add(step.uid, MppsOutbox::Kind::Set,
             finalAttributes(status, now.toString(QStringLiteral("yyyyMMdd")), now.toString(QStringLiteral("HHmmss")),
                             protocol, images, exposures, reason));
    setState(step.uid, status);
    m_station.log().writeDebug(QStringLiteral("MPPS step %1 of patient %2 %3: %4 images, %5 exposures")
                                   .arg(step.uid, step.patientId, status)
                                   .arg(images.size())
                                   .arg(exposures.size()));
}

void MppsWorkflow::examinationCompleted(const QString &patientId)
{
    if (!enabled() || patientId.isEmpty())
        return;
    // Exposures stored before the provider was set up still open the step first.
    recordsStored(patientId);
    m_station.trap(Procedure, [&] {
        const std::optional<Step> step = openStep(patientId);
        if (!step)
            return;
        if (step->state == Scheduled) {
            // Nothing was exposed: the RIS never heard of this step.
            Database db = Database::openData(m_station.paths());
            db.exec(QStringLiteral("DELETE FROM tblMppsStep WHERE StepUID = ?"), {step->uid});
            return;
        }
        finish(*step, Completed, std::nullopt);
    });
}

void MppsWorkflow::everythingDiscontinued(const Reason &reason)
{
    if (!enabled())
        return;
    m_station.trap(Procedure, [&] {
        for (const Step &s : openSteps()) {
            if (s.state == InProgress) {
                finish(s, Discontinued, reason);
            } else if (s.state == Scheduled) {
                Database db = Database::openData(m_station.paths());
                db.exec(QStringLiteral("DELETE FROM tblMppsStep WHERE StepUID = ?"), {s.uid});
            }
        }
    });
}

dicom::DataSet MppsWorkflow::createAttributes(const Step &step, const QString &ownAet, const QString &stationName)
{
    const dicom::WorklistAnswer &w = step.scheduled;
    dicom::DataSet a;
    if (!isAscii(w.patientName + w.requestedProcedureDescription + w.stepDescription + w.patientId))
        a.set(0x0008, 0x0005, QStringLiteral("ISO_IR 192"));

    dicom::DataSet ssa;
    ssa.set(0x0020, 0x000D, w.studyUid);
    ssa.setSequence(0x0008, 0x1110, {});
    ssa.set(0x0008, 0x0050, w.accessionNumber);
    ssa.set(0x0040, 0x1001, w.requestedProcedureId);
    ssa.set(0x0032, 0x1060, w.requestedProcedureDescription);
    ssa.set(0x0040, 0x0009, w.stepId);
    ssa.set(0x0040, 0x0007, w.stepDescription);
    ssa.setSequence(0x0040, 0x0008, codeItems(w.protocolCodes));
    a.setSequence(0x0040, 0x0270, {ssa});

    a.set(0x0010, 0x0010, w.patientName);
    a.set(0x0010, 0x0020, w.patientId);
    if (!w.issuerOfPatientId.isEmpty())
        a.set(0x0010, 0x0021, w.issuerOfPatientId);
    a.set(0x0010, 0x0030, w.birthDate);
    a.set(0x0010, 0x0040, w.sex);
    a.setSequence(0x0008, 0x1120, {});

    // The step's own ID (16 characters at most): the end of its UID.
    a.set(0x0040, 0x0253, step.uid.right(16));
    a.set(0x0040, 0x0241, ownAet);
    a.set(0x0040, 0x0242, stationName.left(16));
    a.set(0x0040, 0x0243, QString());
    a.set(0x0040, 0x0244, step.startDate);
    a.set(0x0040, 0x0245, step.startTime);
    a.set(0x0040, 0x0252, InProgress);
    const QString description =
        w.requestedProcedureDescription.isEmpty() ? w.stepDescription : w.requestedProcedureDescription;
    a.set(0x0040, 0x0254, description.left(64));
    a.set(0x0040, 0x0255, description.left(64));
    a.setSequence(0x0008, 0x1032, codeItems(w.procedureCodes));
    // What the last message sets is there from the start, empty.
    a.set(0x0040, 0x0250, QString());
    a.set(0x0040, 0x0251, QString());
    a.setSequence(0x0040, 0x0281, {});
    a.set(0x0008, 0x0060, QStringLiteral("MG"));
    a.set(0x0020, 0x0010, QString());
    a.setSequence(0x0040, 0x0260, codeItems(w.protocolCodes));
    a.setSequence(0x0040, 0x0340, {});
    a.setSequence(0x0040, 0x030E, {});
    return a;
}

dicom::DataSet MppsWorkflow::doseItem(const DoseEvent &e)
{
    dicom::DataSet item;
    if (e.kvp)
        item.set(0x0018, 0x0060, number(*e.kvp));
    if (e.exposureTime)
        item.setInt(0x0018, 0x1150, std::llround(*e.exposureTime)); // ms
    if (e.tubeCurrent)
        item.set(0x0018, 0x8151, number(*e.tubeCurrent * 1000.0)); // mA -> uA
    if (e.entranceDose)
        item.set(0x0040, 0x8302, number(*e.entranceDose)); // mGy
    if (e.dap)
        item.set(0x0018, 0x115E, number(*e.dap * 1e5)); // Gy*m2 -> dGy*cm2
    item.set(0x0040, 0x0310, QStringLiteral("Exposure %1").arg(e.imageNo));
    return item;
}

dicom::DataSet MppsWorkflow::finalAttributes(const QString &status, const QString &endDate, const QString &endTime,
                                             const QString &protocolName, const QList<PerformedImage> &images,
                                             const QList<DoseEvent> &exposures, const std::optional<Reason> &reason)
{
    dicom::DataSet a;
    a.set(0x0040, 0x0252, status);
    a.set(0x0040, 0x0250, endDate);
    a.set(0x0040, 0x0251, endTime);

    // The performed series, in the order their first image came; a step always has one,
    // though it may hold no image.
    QStringList order;
    QMap<QString, std::vector<dicom::DataSet>> refs;
    for (const PerformedImage &img : images) {
        if (!refs.contains(img.seriesUid))
            order << img.seriesUid;
        dicom::DataSet ref;
        ref.set(0x0008, 0x1150, img.sopClassUid);
        ref.set(0x0008, 0x1155, img.sopUid);
        refs[img.seriesUid].push_back(ref);
    }
    if (order.isEmpty()) {
        order << dicom::newUid();
        refs.insert(order.first(), {});
    }
    std::vector<dicom::DataSet> series;
    for (const QString &uid : order) {
        dicom::DataSet s;
        s.set(0x0008, 0x1050, QString());
        s.set(0x0018, 0x1030, protocolName.left(64));
        s.set(0x0008, 0x1070, QString());
        s.set(0x0020, 0x000E, uid);
        s.set(0x0008, 0x103E, QString());
        s.set(0x0008, 0x0054, QString());
        s.setSequence(0x0008, 0x1140, refs.value(uid));
        s.setSequence(0x0040, 0x0220, {});
        series.push_back(s);
    }
    a.setSequence(0x0040, 0x0340, series);

    std::vector<dicom::DataSet> doses;
    double entrance = 0, dap = 0;
    bool anyEntrance = false, anyDap = false;
    for (const DoseEvent &e : exposures) {
        doses.push_back(doseItem(e));
        if (e.entranceDose) {
            entrance += *e.entranceDose;
            anyEntrance = true;
        }
        if (e.dap) {
            dap += *e.dap;
            anyDap = true;
        }
    }
    a.setSequence(0x0040, 0x030E, doses);
    // The step's totals.
    if (anyEntrance)
        a.set(0x0040, 0x8302, number(entrance));
    if (anyDap)
        a.set(0x0018, 0x115E, number(dap * 1e5));
    if (reason) {
        dicom::DataSet code;
        code.set(0x0008, 0x0100, reason->code);
        code.set(0x0008, 0x0102, QStringLiteral("DCM"));
        code.set(0x0008, 0x0104, reason->meaning);
        a.setSequence(0x0040, 0x0281, {code});
    }
    return a;
}

// ---------------------------------------------------------------------------------------

MppsDelivery::MppsDelivery(Station &station, QObject *parent) : QObject(parent), m_station(station) {}

MppsDelivery::~MppsDelivery() { waitIdle(); }

void MppsDelivery::waitIdle()
{
    if (m_thread.joinable())
        m_thread.join();
}

void MppsDelivery::deliverSoon()
{
    if (m_running.exchange(true)) {
        m_again = true; // the running delivery looks again before it ends
        return;
    }
    if (m_thread.joinable())
        m_thread.join();
    const PeerAddress peer = m_station.settings().mpps;
    const TlsConfig tls = m_station.settings().security.forPeer(peer.ip, peer.port);
    const QString ownAet = MppsWorkflow::stationAet(m_station.settings());
    const StationPaths &paths = m_station.paths();
    m_thread = std::thread([this, peer, ownAet, tls, &paths] {
        int waiting = 0;
        QStringList problems;
        do {
            m_again = false;
            problems.clear();
            try {
                MppsOutbox outbox(paths);
                QString away;
                if (!peer.aet.trimmed().isEmpty() && !peer.ip.trimmed().isEmpty()) {
                    outbox.deliver([&](const MppsOutbox::Waiting &w) {
                        dicom::MppsSender sender(
                            {peer.ip.trimmed(), peer.port.trimmed(), ownAet, peer.aet.trimmed(), tls}, {3, 10, 10});
                        const dicom::MppsSender::Result r = w.kind == MppsOutbox::Kind::Create
                                                                ? sender.create(w.stepUid, w.attributes)
                                                                : sender.set(w.stepUid, w.attributes);
                        if (!r.answered)
                            away = r.problem;
                        return r;
                    });
                }
                waiting = outbox.waitingCount();
                problems = outbox.failures();
                if (waiting > 0)
                    problems.prepend(away.isEmpty() ? QStringLiteral("No MPPS provider is set in the options") : away);
            } catch (const std::exception &e) {
                problems << QString::fromUtf8(e.what());
            }
        } while (m_again.load());
        m_running = false;
        QMetaObject::invokeMethod(
            this, [this, waiting, problems] { delivered(waiting, problems); }, Qt::QueuedConnection);
    });
}

void MppsDelivery::delivered(int waiting, const QStringList &problems)
{
    m_problems = problems;
    QString text;
    if (waiting > 0)
        text = QStringLiteral("MPPS: %1 waiting").arg(waiting);
    else if (!problems.isEmpty())
        text = QStringLiteral("MPPS: %1 refused").arg(problems.size());
    if (text != m_status) {
        m_status = text;
        for (const QString &p : problems)
            m_station.log().writeError(ErrorNo::Network, p, QStringLiteral("MppsDelivery"));
    }
    emit statusChanged(m_status);
}
