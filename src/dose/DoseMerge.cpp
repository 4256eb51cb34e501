#include "dose/DoseMerge.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "core/StationPaths.h"
#include "dicom/Image.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

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
        QSqlQuery q = db.exec(QStringLiteral("SELECT ID, ImgNo, mGy1, XrayComm FROM tblDosis WHERE ID = ?"), {id});
        if (!q.next())
            throw AppError(ErrorNo::Database, QStringLiteral("Dose record %1 no longer exists").arg(id));
        Record r;
        r.id = id;
        r.imgNo = q.value(1).toString();
        r.value = q.value(2).toString();
        if (q.value(3).isNull()) {
            r.unit = m_station.settings().xrayComm;
            m_station.log().writeDebug(QStringLiteral("Dose record %1 names no unit; taken as unit %2").arg(id).arg(r.unit));
        } else {
            r.unit = static_cast<qint16>(q.value(3).toInt());
        }
        out << r;
    }
    return out;
}

QList<DoseMerge::Planned> DoseMerge::plan(const QList<Record> &records, const QStringList &viewerFiles)
{
    QStringList problems;
    // The records by their exposure number.
    QMap<qint64, QList<int>> byNumber;
    for (int i = 0; i < records.size(); ++i) {
        bool ok = false;
        const qint64 n = records[i].imgNo.trimmed().toLongLong(&ok);
        if (!ok)
            problems << QStringLiteral("Dose record %1 has no valid image number (\"%2\").").arg(records[i].id).arg(records[i].imgNo);
        else
            byNumber[n] << i;
    }

    QList<Planned> planned;
    QMap<int, int> recordUse; // record index -> images it matched
    for (int i = 0; i < viewerFiles.size(); ++i) {
        const QString label = QStringLiteral("Image #%1").arg(i + 1);
        std::unique_ptr<dicom::Image> img;
        try {
            img = dicom::Image::readFile(viewerFiles[i]);
        } catch (const std::exception &e) {
            problems << QStringLiteral("%1 cannot be read.").arg(label);
            continue;
        }
        bool ok = false;
        const qint64 number = img->value(0x0020, 0x0013).value_or(QString()).trimmed().toLongLong(&ok);
        if (!ok) {
            problems << QStringLiteral("%1 has no Instance Number.").arg(label);
            continue;
        }
        const QList<int> matches = byNumber.value(number);
        if (matches.isEmpty()) {
            problems << QStringLiteral("%1 (Instance Number %2) has no matching dose.").arg(label).arg(number);
            continue;
        }
        if (matches.size() > 1) {
            problems << QStringLiteral("%1 (Instance Number %2) has more than one matching dose.").arg(label).arg(number);
            continue;
        }
        const Record &r = records[matches.first()];
        if (++recordUse[matches.first()] == 2)
            problems << QStringLiteral("The dose of image number %1 matches more than one image.").arg(number);
        Planned p;
        p.sourceFile = viewerFiles[i];
        p.sopUid = img->sopInstanceUid();
        p.record = r;
        if (!isDecimalString(r.value)) {
            problems << QStringLiteral("%1 (Instance Number %2): the dose \"%3\" is not a valid number.").arg(label).arg(number).arg(r.value);
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
    if (problems.isEmpty() && planned.size() != viewerFiles.size())
        problems << QStringLiteral("Not every image has its dose.");
    if (!problems.isEmpty())
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("The doses do not match the images; nothing was sent.\n") + problems.join(QLatin1Char('\n')));
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
        const QString target = QDir(folder).filePath(p.sopUid + QStringLiteral(".dcm"));
        img->writeFile(target);
        written << target;
    }
    return written;
}
