#include "dose/DoseReports.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "core/Version.h"
#include "dicom/Image.h"
#include "dicom/Uid.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSysInfo>
#include <QUuid>
#include <algorithm>
#include <memory>

namespace {

// The name space of the UIDs that follow from a report's content.
const QUuid ReportNamespace = QUuid(QStringLiteral("{6d0c5f5e-3c1a-4f51-9f7e-2b8a1c0de5a7}"));

std::optional<double> numberOf(const QString &text)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

// "2026-12-10" + "14:03:22" -> "20261210140322".
QString dateTimeOf(const QString &date, const QString &time)
{
    QString d = DateText::toDicomDate(date.trimmed());
    if (d.isEmpty())
        return {};
    QString t = time.trimmed();
    t.remove(QLatin1Char(':'));
    return t.size() == 6 ? d + t : d;
}

// The older code values of the views, as images made before the SNOMED CT codes carry them.
QString viewOfImageCode(const QString &value)
{
    static const QMap<QString, QString> srt{{QStringLiteral("R-10242"), QStringLiteral("CC")},
                                            {QStringLiteral("R-10226"), QStringLiteral("MLO")},
                                            {QStringLiteral("R-10224"), QStringLiteral("ML")},
                                            {QStringLiteral("R-10228"), QStringLiteral("LM")}};
    if (srt.contains(value))
        return srt.value(value);
    for (const QString &scheme : {QStringLiteral("SCT"), QStringLiteral("SNM3")}) {
        const QString v = DoseReport::viewOfCode({value, scheme, {}});
        if (DoseReport::viewCode(v))
            return v;
    }
    return {};
}

struct ImageFacts {
    QString sopUid, laterality, view;
    std::shared_ptr<dicom::Image> image;
};

ImageFacts imageFacts(const QString &file)
{
    ImageFacts f;
    f.image = dicom::Image::readFile(file);
    const dicom::Image &img = *f.image;
    f.sopUid = img.sopInstanceUid();
    f.laterality = img.value(0x0020, 0x0062).value_or(img.value(0x0020, 0x0060).value_or(QString())).trimmed();
    f.view = img.value(0x0018, 0x5101).value_or(QString()).trimmed();
    if (!DoseReport::viewCode(f.view)) {
        f.view.clear();
        if (auto items = img.sequence(0x0054, 0x0220); items && !items->empty())
            f.view = viewOfImageCode(items->front().value(0x0008, 0x0100).value_or(QString()).trimmed());
    }
    return f;
}

QString text(const dicom::Image &img, quint16 g, quint16 e) { return img.value(g, e).value_or(QString()); }

// When the image says it was acquired, as DICOM DT without fractions.
QString acquired(const dicom::Image &img)
{
    QString dt = text(img, 0x0008, 0x002A).trimmed();
    if (dt.isEmpty()) {
        for (auto [date, time] :
             {std::pair{quint16(0x0022), quint16(0x0032)}, std::pair{quint16(0x0023), quint16(0x0033)}}) {
            const QString d = text(img, 0x0008, date).trimmed();
            if (d.size() == 8) {
                dt = d + text(img, 0x0008, time).trimmed();
                break;
            }
        }
    }
    dt = dt.left(dt.indexOf(QLatin1Char('.')) < 0 ? dt.size() : dt.indexOf(QLatin1Char('.')));
    return dt.size() >= 8 && dt.size() <= 14 ? dt : QString();
}

} // namespace

DoseReports::DoseReports(Station &station) : m_station(station) {}

void DoseReports::setValues(DoseEvent &e, qint16 unit, const QString &mGy1, const QString &mGy2, const QString &mGy3,
                            const QString &expTime)
{
    e.unit = unit;
    if (unit == XrayUnit::Hfe501) {
        // cGy*cm2 -> Gy*m2: 0.01 Gy * 1e-4 m2.
        if (auto dap = numberOf(mGy1))
            e.dap = *dap * 1e-6;
        e.kvp = numberOf(mGy2);
        e.mas = numberOf(mGy3);
        e.exposureTime = numberOf(expTime);
        if (e.mas && e.exposureTime && *e.mas > 0 && *e.exposureTime > 0)
            e.tubeCurrent = *e.mas / (*e.exposureTime / 1000.0);
    } else {
        // The channel units' first value is the entrance dose in mGy; what their other
        // values measure is not known, so they are not reported.
        e.entranceDose = numberOf(mGy1);
    }
}

QString DoseReports::uidFor(const QString &text)
{
    return dicom::uidOfUuid(QUuid::createUuidV5(ReportNamespace, text));
}

QString DoseReports::deviceUid()
{
    const QString key = QStringLiteral("DoseReport/DeviceUID");
    QString uid = m_station.settingsStore().readValue(key, QString()).trimmed();
    if (isValidUid(uid))
        return uid;
    uid = dicom::newUid();
    if (!m_station.settingsStore().writeValue(key, uid))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot keep the X-ray unit's device UID in the settings"));
    return uid;
}

QString DoseReports::serialNumber() const
{
    const QString s = m_station.settingsStore().readValue(QStringLiteral("DoseReport/SerialNumber"), QString());
    if (!s.trimmed().isEmpty())
        return s.trimmed().left(64);
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("unknown") : host.left(64);
}

QString DoseReports::keptFile(const QString &studyUid) const
{
    if (!isValidUid(studyUid))
        return {};
    const QString f = m_station.paths().doseReportFile(studyUid);
    return QFileInfo::exists(f) ? f : QString();
}

bool DoseReports::removeKept(const QString &studyUid) const
{
    const QString f = keptFile(studyUid);
    return f.isEmpty() || QFile::remove(f);
}

DoseReportFacts DoseReports::read(const QString &file) { return DoseReport::facts(dicom::readSr(file)); }

DoseReports::Events DoseReports::assignEvents(const std::vector<qint64> &recordIds, const QString &studyUid)
{
    Events out;
    out.studyUid = studyUid;
    Database db = Database::openData(m_station.paths());
    Transaction t(db, Transaction::Write);
    QList<std::pair<qint64, QString>> events;
    for (qint64 id : recordIds) {
        QSqlQuery q = db.exec(QStringLiteral("SELECT EventUID, StudyUID FROM tblDosis WHERE ID = ?"), {id});
        if (!q.next())
            throw AppError(ErrorNo::Database, QStringLiteral("Dose record %1 no longer exists").arg(id));
        events << std::pair{id, q.value(0).toString()};
        if (!isValidUid(out.studyUid) && isValidUid(q.value(1).toString()))
            out.studyUid = q.value(1).toString();
    }
    if (!isValidUid(out.studyUid))
        out.studyUid = dicom::newUid();
    for (auto &[id, uid] : events) {
        if (!isValidUid(uid))
            uid = dicom::newUid();
        db.exec(QStringLiteral("UPDATE tblDosis SET EventUID = ?, StudyUID = ? WHERE ID = ?"), {uid, out.studyUid, id});
        out.eventOf.insert(id, uid);
    }
    t.commit();
    return out;
}

DoseReports::Made DoseReports::make(const std::vector<qint64> &recordIds, const QString &studyUid,
                                    const QStringList &imageFiles)
{
    if (recordIds.empty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("There are no dose records to report."));

    struct Row {
        qint64 id = 0;
        int imageNo = 0;
        qint16 unit = 0;
        QString first, last, birth, patientId, mGy1, mGy2, mGy3, expTime, date, time, eventUid;
    };
    QList<Row> rows;
    Made made;
    QString study = studyUid;
    {
        Database db = Database::openData(m_station.paths());
        for (qint64 id : recordIds) {
            QSqlQuery q = db.exec(QStringLiteral("SELECT ImgNo, XrayComm, PatFirstname, PatLastname, PatBirthdate,"
                                                 " WorklistPatID, mGy1, mGy2, mGy3, expTime, \"Date\", \"Time\""
                                                 " FROM tblDosis WHERE ID = ?"),
                                  {id});
            if (!q.next())
                throw AppError(ErrorNo::Database, QStringLiteral("Dose record %1 no longer exists").arg(id));
            Row r;
            r.id = id;
            r.imageNo = q.value(0).toInt();
            r.unit = q.value(1).isNull() ? m_station.settings().xrayComm : static_cast<qint16>(q.value(1).toInt());
            r.first = q.value(2).toString();
            r.last = q.value(3).toString();
            r.birth = q.value(4).toString();
            r.patientId = q.value(5).toString();
            r.mGy1 = q.value(6).toString();
            r.mGy2 = q.value(7).toString();
            r.mGy3 = q.value(8).toString();
            r.expTime = q.value(9).toString();
            r.date = q.value(10).toString();
            r.time = q.value(11).toString();
            rows << r;
        }
    }
    const Events assigned = assignEvents(recordIds, study);
    study = assigned.studyUid;
    made.eventOf = assigned.eventOf;
    for (Row &r : rows)
        r.eventUid = assigned.eventOf.value(r.id);
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.imageNo < b.imageNo; });

    // The images, by Instance Number.
    QMap<int, ImageFacts> images;
    for (const QString &file : imageFiles) {
        ImageFacts f = imageFacts(file);
        const int number = text(*f.image, 0x0020, 0x0013).trimmed().toInt();
        images.insert(number, std::move(f));
    }

    DoseReportFacts &f = made.facts;
    const Settings &s = m_station.settings();
    f.unit = rows.first().unit;
    f.deviceUid = deviceUid();
    f.stationAet = s.irAet.trimmed();
    f.screening = m_station.settingsStore()
                      .readValue(QStringLiteral("DoseReport/Intent"), QStringLiteral("Diagnostic"))
                      .trimmed()
                      .compare(QLatin1String("Screening"), Qt::CaseInsensitive)
                  == 0;
    f.manufacturer = Version::ProductName;
    f.modelName = Version::ProductName + QStringLiteral(" Station");
    f.serialNumber = serialNumber();
    f.softwareVersions = QStringLiteral("%1.%2.%3").arg(Version::Major).arg(Version::Minor).arg(Version::Revision);
    f.studyUid = study;
    if (!images.isEmpty()) {
        const dicom::Image &img = *images.first().image;
        f.patientName = text(img, 0x0010, 0x0010);
        f.patientId = text(img, 0x0010, 0x0020);
        f.birthDate = text(img, 0x0010, 0x0030);
        f.sex = text(img, 0x0010, 0x0040);
        f.studyDate = text(img, 0x0008, 0x0020);
        f.studyTime = text(img, 0x0008, 0x0030);
        f.accessionNumber = text(img, 0x0008, 0x0050);
        f.studyId = text(img, 0x0020, 0x0010);
        f.referringPhysician = text(img, 0x0008, 0x0090);
        f.studyDescription = text(img, 0x0008, 0x1030);
        f.stationName = text(img, 0x0008, 0x1010);
    } else {
        const Row &r = rows.first();
        f.patientName = r.last + QLatin1Char('^') + r.first;
        f.patientId = r.patientId;
        f.birthDate = DateText::toDicomDate(r.birth);
        f.studyDate = DateText::toDicomDate(r.date);
        QString t = r.time;
        f.studyTime = t.remove(QLatin1Char(':'));
    }
    for (const Row &r : rows) {
        DoseEvent e;
        e.eventUid = r.eventUid;
        e.imageNo = r.imageNo;
        e.unit = r.unit;
        e.dateTime = dateTimeOf(r.date, r.time);
        if (auto it = images.constFind(r.imageNo); it != images.constEnd()) {
            e.imageUid = it->sopUid;
            e.laterality = it->laterality;
            e.view = it->view;
            // A record without its capture time takes the time its image was acquired.
            if (e.dateTime.isEmpty())
                e.dateTime = acquired(*it->image);
        }
        if (e.dateTime.isEmpty())
            throw AppError(
                ErrorNo::BadInput,
                QStringLiteral("Exposure %1 has no capture date and time; it cannot be reported.").arg(r.imageNo));
        setValues(e, r.unit, r.mGy1, r.mGy2, r.mGy3, r.expTime);
        f.events << e;
    }

    f.seriesUid = uidFor(QStringLiteral("series:") + study);
    f.sopUid = uidFor(QStringLiteral("report:") + DoseReport::contentKey(f));
    made.sopUid = f.sopUid;
    made.file = m_station.paths().doseReportFile(study);
    if (QFileInfo::exists(made.file)) {
        try {
            const DoseReportFacts kept = read(made.file);
            if (kept.sopUid == f.sopUid) {
                made.unchanged = true;
                return made;
            }
            made.replaced = kept.sopUid;
        } catch (const AppError &e) {
            m_station.log().writeDebug(QStringLiteral("The kept dose report %1 cannot be read").arg(made.file),
                                       e.description());
        }
    }
    f.predecessorUid = made.replaced;
    const QDateTime now = QDateTime::currentDateTime();
    f.contentDate = now.toString(QStringLiteral("yyyyMMdd"));
    f.contentTime = now.toString(QStringLiteral("HHmmss"));
    if (!QDir().mkpath(m_station.paths().doseReportsDir()))
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot create the folder %1").arg(m_station.paths().doseReportsDir()));
    dicom::writeDoseSr(DoseReport::document(f), made.file);
    return made;
}
