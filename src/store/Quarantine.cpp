#include "store/Quarantine.h"
#include "core/AppError.h"
#include "core/StationPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const QString ReasonSuffix = QStringLiteral(".reason.json");

QString reasonFileOf(const QString &file) { return file + ReasonSuffix; }

QString consentDir(const StationPaths &paths) { return paths.dataDir() + QStringLiteral("/consent"); }

// Moves a file, across file systems too.
bool moveFile(const QString &from, const QString &to, QString *error)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno == EXDEV && QFile::copy(from, to) && QFile::remove(from))
        return true;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

QJsonObject toJson(const QuarantinedObject &o)
{
    QJsonObject j{{"reason", o.reason}, {"time", o.when.toString(Qt::ISODate)}, {"sopUid", o.sopUid}};
    if (o.clash) {
        j.insert("clash", true);
        j.insert("level", o.level);
        j.insert("uid", o.uid);
        j.insert("storedPatientId", o.storedPatientId);
        j.insert("storedPatientName", o.storedPatientName);
        j.insert("newPatientId", o.newPatientId);
        j.insert("newPatientName", o.newPatientName);
    }
    return j;
}

QuarantinedObject fromJson(const QString &file, const QJsonObject &j)
{
    QuarantinedObject o;
    o.file = file;
    o.reason = j.value("reason").toString();
    o.when = QDateTime::fromString(j.value("time").toString(), Qt::ISODate);
    o.clash = j.value("clash").toBool();
    o.level = j.value("level").toString();
    o.uid = j.value("uid").toString();
    o.sopUid = j.value("sopUid").toString();
    o.storedPatientId = j.value("storedPatientId").toString();
    o.storedPatientName = j.value("storedPatientName").toString();
    o.newPatientId = j.value("newPatientId").toString();
    o.newPatientName = j.value("newPatientName").toString();
    return o;
}

QString patientText(const QString &id, const QString &name)
{
    return name.trimmed().isEmpty() ? QStringLiteral("ID %1").arg(id) : QStringLiteral("%1 (ID %2)").arg(name, id);
}

} // namespace

namespace Quarantine {

QString keepApart(const StationPaths &paths, const QString &file, const QuarantinedObject &what, QString *error)
{
    QDir().mkpath(paths.quarantineDir());
    const QFileInfo fi(file);
    QString target = paths.quarantineDir() + QLatin1Char('/') + fi.fileName();
    for (int n = 1; QFileInfo::exists(target) || QFileInfo::exists(reasonFileOf(target)); ++n)
        target = paths.quarantineDir() + QLatin1Char('/') + fi.completeBaseName() + QStringLiteral("~%1").arg(n)
                 + (fi.suffix().isEmpty() ? QString() : QLatin1Char('.') + fi.suffix());
    // The reason first: an object is never in the folder without its reason.
    QSaveFile reason(reasonFileOf(target));
    QuarantinedObject o = what;
    if (!o.when.isValid())
        o.when = QDateTime::currentDateTime();
    const QByteArray bytes = QJsonDocument(toJson(o)).toJson();
    if (!reason.open(QIODevice::WriteOnly) || reason.write(bytes) != bytes.size() || !reason.commit()) {
        if (error)
            *error = reason.errorString();
        return {};
    }
    if (!moveFile(file, target, error)) {
        QFile::remove(reasonFileOf(target));
        return {};
    }
    return target;
}

QList<QuarantinedObject> list(const StationPaths &paths)
{
    QList<QuarantinedObject> out;
    const QFileInfoList infos =
        QDir(paths.quarantineDir()).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &fi : infos) {
        if (fi.fileName().endsWith(ReasonSuffix))
            continue;
        QFile r(reasonFileOf(fi.absoluteFilePath()));
        QuarantinedObject o;
        if (r.open(QIODevice::ReadOnly)) {
            o = fromJson(fi.absoluteFilePath(), QJsonDocument::fromJson(r.readAll()).object());
        } else {
            o.file = fi.absoluteFilePath();
            o.reason = QStringLiteral("kept apart by an earlier version (see the error log)");
        }
        if (!o.when.isValid())
            o.when = fi.lastModified();
        out << o;
    }
    std::sort(out.begin(), out.end(),
              [](const QuarantinedObject &a, const QuarantinedObject &b) { return a.when > b.when; });
    return out;
}

bool remove(const QuarantinedObject &object)
{
    if (QFileInfo::exists(object.file) && !QFile::remove(object.file))
        return false;
    QFile::remove(reasonFileOf(object.file));
    return true;
}

QString fileAnywayQuestion(const QuarantinedObject &o)
{
    return QStringLiteral("The %1 Instance UID %2 is stored for the patient %3.\n"
                          "This object is of the patient %4.\n\n"
                          "File it anyway? The %5 then belongs to %4, with what is stored of it.")
        .arg(o.level, o.uid, patientText(o.storedPatientId, o.storedPatientName),
             patientText(o.newPatientId, o.newPatientName), o.level.toLower());
}

void fileAnyway(const StationPaths &paths, const QuarantinedObject &o)
{
    if (!o.clash || !isValidUid(o.sopUid))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("Only an object kept apart for a UID clash can be filed anyway"));
    QDir().mkpath(consentDir(paths));
    QSaveFile consent(consentDir(paths) + QLatin1Char('/') + o.sopUid);
    const QByteArray id = o.newPatientId.toUtf8();
    if (!consent.open(QIODevice::WriteOnly) || consent.write(id) != id.size() || !consent.commit())
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write the consent for %1: %2").arg(o.sopUid, consent.errorString()));
    QDir().mkpath(paths.tempDir());
    // Under a hidden name first: the data manager takes it only once it is whole.
    const QString part = paths.tempDir() + QStringLiteral("/.fileanyway-") + o.sopUid;
    const QString target = paths.tempDir() + QLatin1Char('/') + o.sopUid + QStringLiteral(".dcm");
    QString error;
    if (!moveFile(o.file, part, &error)
        || std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(consentDir(paths) + QLatin1Char('/') + o.sopUid);
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot hand %1 to the data manager: %2").arg(o.file, error));
    }
    QFile::remove(reasonFileOf(o.file));
}

bool takeConsent(const StationPaths &paths, const QString &sopUid, const QString &patientId)
{
    if (!isValidUid(sopUid))
        return false;
    const QString path = consentDir(paths) + QLatin1Char('/') + sopUid;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QString id = QString::fromUtf8(f.readAll());
    f.close();
    if (id != patientId)
        return false;
    QFile::remove(path);
    return true;
}

} // namespace Quarantine
