#include "dose/DoseMerge.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/Database.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/AuditSubjects.h"
#include "dicom/Image.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <optional>

DoseMerge::DoseMerge(Station &station) : m_station(station) {}

bool DoseMerge::isDecimalString(const QString &text)
{
    static const QRegularExpression ds(QStringLiteral("^ *[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)? *$"));
    return !text.trimmed().isEmpty() && text.size() <= 16 && ds.match(text).hasMatch();
}

QList<DoseMerge::Record> DoseMerge::records(const std::vector<qint64> &ids)
{
    QList<Record> out;
    Database db = Database::openData(m_station.paths());
    for (qint64 id : ids) {
        QSqlQuery q =
            db.exec(QStringLiteral("SELECT ID, ImgNo, mGy1, XrayComm, WorklistPatID, PatFirstname, PatLastname,"
                                   " PatBirthdate FROM tblDosis WHERE ID = ?"),
                    {id});
        if (!q.next())
            throw AppError(ErrorNo::Database, QStringLiteral("Dose record %1 no longer exists").arg(id));
        Record r;
        r.id = id;
        r.imgNo = q.value(1).toString();
        r.value = q.value(2).toString();
        if (q.value(3).isNull()) {
            r.unit = m_station.settings().xrayComm;
            m_station.log().writeDebug(
                QStringLiteral("Dose record %1 names no unit; taken as unit %2").arg(id).arg(r.unit));
        } else {
            r.unit = static_cast<qint16>(q.value(3).toInt());
        }
        r.patientId = q.value(4).toString();
        r.firstName = q.value(5).toString();
        r.lastName = q.value(6).toString();
        r.birthDate = q.value(7).toString();
        out << r;
    }
    return out;
}

namespace {

// The Instance Numbers of the viewer's images (nullopt: none or unreadable).
QList<std::optional<qint64>> instanceNumbers(const QStringList &files)
{
    QList<std::optional<qint64>> out;
    for (const QString &f : files) {
        std::optional<qint64> n;
        try {
            bool ok = false;
            const qint64 v =
                dicom::Image::readFile(f)->value(0x0020, 0x0013).value_or(QString()).trimmed().toLongLong(&ok);
            if (ok)
                n = v;
        } catch (const std::exception &) {
        }
        out << n;
    }
    return out;
}

QString patientText(const QString &last, const QString &first, const QString &id)
{
    QString name = last.trimmed();
    if (!first.trimmed().isEmpty())
        name += QStringLiteral(", ") + first.trimmed();
    return id.trimmed().isEmpty() ? name : QStringLiteral("%1 (ID %2)").arg(name, id.trimmed());
}

QString numberList(QList<int> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    QStringList t;
    for (int n : numbers)
        t << QString::number(n);
    return t.join(QStringLiteral(", "));
}

} // namespace

QStringList DoseMerge::numberProblems(const QList<Record> &records, const QStringList &viewerFiles)
{
    QStringList problems;
    QMap<qint64, QList<qint64>> byNumber; // exposure number -> record IDs
    for (const Record &r : records) {
        bool ok = false;
        const qint64 n = r.imgNo.trimmed().toLongLong(&ok);
        if (!ok)
            problems << QStringLiteral("Dose record %1 has no valid exposure number (\"%2\").").arg(r.id).arg(r.imgNo);
        else
            byNumber[n] << r.id;
    }
    for (auto it = byNumber.cbegin(); it != byNumber.cend(); ++it)
        if (it->size() > 1) {
            QStringList ids;
            for (qint64 id : *it)
                ids << QString::number(id);
            problems << QStringLiteral("Exposure number %1 is doubled (dose records %2).")
                            .arg(it.key())
                            .arg(ids.join(QStringLiteral(", ")));
        }
    const QList<std::optional<qint64>> numbers = instanceNumbers(viewerFiles);
    QMap<qint64, int> images; // instance number -> images
    for (int i = 0; i < numbers.size(); ++i) {
        if (!numbers[i]) {
            problems << QStringLiteral("Image #%1 has no Instance Number.").arg(i + 1);
            continue;
        }
        if (++images[*numbers[i]] == 2)
            problems << QStringLiteral("Instance Number %1 is on more than one image.").arg(*numbers[i]);
        if (!byNumber.contains(*numbers[i]))
            problems
                << QStringLiteral("Image #%1 (Instance Number %2) has no dose record.").arg(i + 1).arg(*numbers[i]);
    }
    for (auto it = byNumber.cbegin(); it != byNumber.cend(); ++it)
        if (!images.contains(it.key()))
            problems << QStringLiteral("Exposure number %1 has no image.").arg(it.key());
    return problems;
}

int DoseMerge::arrivingFiles(const Station &station)
{
    // Files still being written are hidden; what is there and visible waits to be filed.
    return int(QDir(station.paths().tempDir()).entryList(QDir::Files | QDir::NoDotAndDotDot).size());
}

QString DoseMerge::studyPatientText(const Situation &s)
{
    const auto [last, first] = DoseList::splitDisplayName(s.studyPatientName);
    return patientText(last, first, s.studyPatient.patientId);
}

QString DoseMerge::foreignRefusal(const Situation &s)
{
    // Records of another patient: never into this patient's images.
    QStringList others;
    for (const Record &r : s.records)
        if (!DoseList::belongsTo(r.patientId, r.firstName, r.lastName, r.birthDate, s.studyPatient)) {
            const QString who = patientText(r.lastName, r.firstName, r.patientId);
            if (!others.contains(who))
                others << who;
        }
    if (!others.isEmpty())
        return QStringLiteral("The dose list shows dose records of %1, but the study open is of %2.\n"
                              "Nothing was sent. Pick %3 in the patient list to list that patient's own dose records.")
            .arg(others.join(QStringLiteral(" and ")), studyPatientText(s), s.studyPatientName);
    return {};
}

QString DoseMerge::refusal(const Situation &s, const QStringList &viewerFiles)
{
    if (const QString foreign = foreignRefusal(s); !foreign.isEmpty())
        return foreign;
    const QString studyText = studyPatientText(s);
    if (!s.unstoredNumbers.isEmpty())
        return QStringLiteral("Exposure(s) %1 of %2 are still waiting to be stored%3.\n"
                              "Nothing was sent; try again in a moment.")
            .arg(numberList(s.unstoredNumbers), studyText,
                 s.unstoredReason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(s.unstoredReason));
    QStringList notes;
    if (s.arriving > 0)
        notes
            << QStringLiteral("Images are still arriving: %1 file(s) wait to be filed into the store.").arg(s.arriving);
    if (s.pendingExposures > 0)
        notes << QStringLiteral("%1 exposure(s) wait for a patient (see the dose panel).").arg(s.pendingExposures);
    if (s.records.isEmpty())
        return (QStringList{QStringLiteral("There are no closed dose records of %1 in the dose list.").arg(studyText)}
                + notes + QStringList{QStringLiteral("Nothing was sent.")})
            .join(QLatin1Char('\n'));
    if (s.records.size() != s.images || s.images == 0) {
        QStringList lines{
            QStringLiteral("There are not all images on the system please wait a few second and try again!"), QString(),
            QStringLiteral("%1 dose record(s) of %2 for %3 image(s).")
                .arg(s.records.size())
                .arg(studyText)
                .arg(s.images)};
        lines += notes;
        lines += numberProblems(s.records, viewerFiles);
        return lines.join(QLatin1Char('\n'));
    }
    return {};
}

QList<DoseMerge::Planned> DoseMerge::plan(const QList<Record> &records, const QStringList &viewerFiles)
{
    QStringList problems = numberProblems(records, viewerFiles);
    QMap<qint64, int> byNumber;
    for (int i = 0; i < records.size(); ++i) {
        bool ok = false;
        const qint64 n = records[i].imgNo.trimmed().toLongLong(&ok);
        if (ok)
            byNumber.insert(n, i);
    }
    QList<Planned> planned;
    if (problems.isEmpty()) {
        for (int i = 0; i < viewerFiles.size(); ++i) {
            const QString label = QStringLiteral("Image #%1").arg(i + 1);
            std::unique_ptr<dicom::Image> img;
            try {
                img = dicom::Image::readFile(viewerFiles[i]);
            } catch (const std::exception &) {
                problems << QStringLiteral("%1 cannot be read.").arg(label);
                continue;
            }
            const qint64 number = img->value(0x0020, 0x0013).value_or(QString()).trimmed().toLongLong();
            const Record &r = records[byNumber.value(number)];
            Planned p;
            p.sourceFile = viewerFiles[i];
            p.sopUid = img->sopInstanceUid();
            p.record = r;
            if (!isDecimalString(r.value)) {
                problems << QStringLiteral("%1 (Instance Number %2): the dose \"%3\" is not a valid number.")
                                .arg(label)
                                .arg(number)
                                .arg(r.value);
                continue;
            }
            if (r.unit == 5) { // HFE 501: dose-area product in cGy*cm2
                p.group = 0x0018;
                p.element = 0x115E;
                p.text = dicom::decimalText(r.value.trimmed().toDouble() / 10.0);
            } else {
                p.group = 0x0040;
                p.element = 0x8302;
                p.text = r.value.trimmed();
            }
            if (!isValidUid(p.sopUid)) {
                problems << QStringLiteral("%1 has no valid SOP Instance UID.").arg(label);
                continue;
            }
            planned << p;
        }
    }
    if (problems.isEmpty() && planned.size() != viewerFiles.size())
        problems << QStringLiteral("Not every image has its dose.");
    if (!problems.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("The doses do not match the images; nothing was sent.\n")
                                              + problems.join(QLatin1Char('\n')));
    return planned;
}

QStringList DoseMerge::stage(const QList<Planned> &planned, const QString &folder)
{
    if (!QDir().mkpath(folder))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot create %1").arg(folder));
    QStringList written;
    for (const Planned &p : planned) {
        auto img = dicom::Image::readFile(p.sourceFile);
        img->setText(p.group, p.element, p.text);
        if (!p.eventUid.isEmpty())
            img->setText(0x0008, 0x3010, p.eventUid);
        const QString target = QDir(folder).filePath(p.sopUid + QStringLiteral(".dcm"));
        img->writeFile(target);
        written << target;
    }
    // Each image now carries its exposure's dose: an update of the patient's instances.
    for (const AuditSubject &subject : Audit::active() ? dicom::auditSubjectsOfFiles(written) : QList<AuditSubject>())
        Audit::log(AuditEvent::instancesAccessed(Audit::station(), AuditAction::Update, subject));
    return written;
}
