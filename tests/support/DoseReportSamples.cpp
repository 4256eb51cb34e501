#include "DoseReportSamples.h"
#include "core/Settings.h"
#include "core/Station.h"
#include "dicom/SrDocument.h"

#include <QDir>

namespace DoseReportSamples {

namespace {

DoseReportFacts study(const QString &studyUid, qint16 unit)
{
    DoseReportFacts f;
    f.patientName = QStringLiteral("DOE^Jane");
    f.patientId = QStringLiteral("P1");
    f.birthDate = QStringLiteral("19601231");
    f.sex = QStringLiteral("F");
    f.studyUid = studyUid;
    f.studyDate = QStringLiteral("20261210");
    f.studyTime = QStringLiteral("140000");
    f.unit = unit;
    f.deviceUid = QStringLiteral("2.25.4242");
    f.manufacturer = QStringLiteral("Calvarex");
    f.modelName = QStringLiteral("Calvarex Station");
    f.serialNumber = QStringLiteral("test");
    f.softwareVersions = QStringLiteral("1.0.3");
    f.seriesUid = studyUid + QStringLiteral(".900");
    f.sopUid = studyUid + QStringLiteral(".900.1");
    f.contentDate = QStringLiteral("20261210");
    f.contentTime = QStringLiteral("141500");
    return f;
}

DoseEvent event(const QString &studyUid, int no, const QString &time, const QString &laterality, const QString &view)
{
    DoseEvent e;
    e.eventUid = studyUid + QStringLiteral(".77.%1").arg(no);
    e.imageNo = no;
    e.dateTime = QStringLiteral("20261210") + time;
    e.laterality = laterality;
    e.view = view;
    return e;
}

} // namespace

DoseReportFacts hfe501(const QString &studyUid)
{
    DoseReportFacts f = study(studyUid, XrayUnit::Hfe501);
    struct Values {
        const char *time, *laterality, *view;
        std::optional<double> dap;
        double kvp, mas, ms;
    };
    const Values values[] = {{"140322", "R", "CC", 9.6e-6, 28, 80, 450},
                             {"140510", "L", "CC", 1.02e-5, 29, 90, 500},
                             {"140702", "R", "MLO", 1.1e-5, 29, 100, 560},
                             {"140901", "", "", std::nullopt, 30, 63, 400}};
    int no = 0;
    for (const Values &v : values) {
        DoseEvent e = event(studyUid, ++no, QString::fromLatin1(v.time), QString::fromLatin1(v.laterality),
                            QString::fromLatin1(v.view));
        e.unit = XrayUnit::Hfe501;
        e.dap = v.dap;
        e.kvp = v.kvp;
        e.mas = v.mas;
        e.exposureTime = v.ms;
        e.tubeCurrent = v.mas / (v.ms / 1000.0);
        f.events << e;
    }
    return f;
}

DoseReportFacts giotto(const QString &studyUid)
{
    DoseReportFacts f = study(studyUid, XrayUnit::Giotto);
    f.patientName = QStringLiteral("ROE^Ann^Marie");
    f.birthDate.clear();
    DoseEvent a = event(studyUid, 1, QStringLiteral("091500"), QStringLiteral("L"), QStringLiteral("MLO"));
    a.unit = XrayUnit::Giotto;
    a.entranceDose = 4.12;
    DoseEvent b = event(studyUid, 2, QStringLiteral("091730"), QStringLiteral("L"), QStringLiteral("CC"));
    b.unit = XrayUnit::Giotto;
    b.entranceDose = 3.9;
    f.events << a << b;
    return f;
}

QString keep(Station &station, const DoseReportFacts &facts)
{
    QDir().mkpath(station.paths().doseReportsDir());
    const QString file = station.paths().doseReportFile(facts.studyUid);
    dicom::writeDoseSr(DoseReport::document(facts), file);
    return file;
}

} // namespace DoseReportSamples
