#include "dose/LiveDoses.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Settings.h"

#include <QSqlQuery>

namespace LiveDoses {

QString caption(qint16 unit, const QString &mGy1, const QString &mGy2, const QString &mGy3, const QString &kvp,
                const QString &mas)
{
    QStringList parts;
    const auto add = [&](const QString &value, const QString &unitText) {
        if (!value.trimmed().isEmpty())
            parts << value.trimmed() + QLatin1Char(' ') + unitText;
    };
    if (unit == XrayUnit::Hfe501) {
        add(mGy2, QStringLiteral("kV"));
        add(mGy3, QStringLiteral("mAs"));
        add(mGy1, QStringLiteral("cGy·cm²"));
    } else {
        add(kvp, QStringLiteral("kV"));
        add(mas, QStringLiteral("mAs"));
        add(mGy1, QStringLiteral("mGy"));
    }
    return parts.join(QStringLiteral(" · "));
}

QHash<int, QString> captions(Database &db, const QString &worklistPatientId, qint16 configuredUnit)
{
    QHash<int, QString> out;
    if (worklistPatientId.trimmed().isEmpty())
        return out;
    QSqlQuery q = db.exec(QStringLiteral("SELECT ImgNo, XrayComm, mGy1, mGy2, mGy3, KVP, ma FROM tblDosis"
                                         " WHERE Status = '0' AND WorklistPatID = ? ORDER BY ID"),
                          {worklistPatientId.trimmed()});
    while (q.next()) {
        bool ok = false;
        const int number = q.value(0).toInt(&ok);
        if (!ok)
            continue;
        const qint16 unit = q.value(1).isNull() ? configuredUnit : static_cast<qint16>(q.value(1).toInt());
        out.insert(number, caption(unit, q.value(2).toString(), q.value(3).toString(), q.value(4).toString(),
                                   q.value(5).toString(), q.value(6).toString()));
    }
    return out;
}

QString examinationStudy(Database &db, const QString &patId1, const QString &scheduledStudyUid,
                         const QString &sinceDicomDate)
{
    if (patId1.trimmed().isEmpty())
        return {};
    if (!scheduledStudyUid.isEmpty()) {
        const QString kept = db.scalar(QStringLiteral("SELECT st.StudyUID FROM tblStudies st"
                                                      " JOIN tblPatienten p ON st.FKeyPATID = p.PatID"
                                                      " WHERE st.StudyUID = ? AND p.PatID1 = ?"),
                                       {scheduledStudyUid, patId1.trimmed()})
                                 .toString();
        if (!kept.isEmpty())
            return kept;
    }
    QSqlQuery q = db.exec(QStringLiteral("SELECT st.StudyUID, st.StudyDate FROM tblStudies st"
                                         " JOIN tblPatienten p ON st.FKeyPATID = p.PatID"
                                         " WHERE p.PatID1 = ? ORDER BY st.StudyID DESC LIMIT 1"),
                          {patId1.trimmed()});
    if (!q.next())
        return {};
    const QString date = DateText::toDicomDate(q.value(1).toString().trimmed());
    if (!sinceDicomDate.isEmpty() && !date.isEmpty() && date < sinceDicomDate)
        return {};
    return q.value(0).toString();
}

QStringList imagesByArrival(Database &db, const QString &studyUid)
{
    QStringList out;
    QSqlQuery q = db.exec(QStringLiteral("SELECT i.ImageUID FROM tblImages i"
                                         " JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                         " JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                         " WHERE st.StudyUID = ? ORDER BY i.ImageID"),
                          {studyUid});
    while (q.next())
        out << q.value(0).toString();
    return out;
}

} // namespace LiveDoses
