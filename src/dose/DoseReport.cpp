#include "dose/DoseReport.h"
#include "core/AppError.h"
#include "core/Settings.h"

#include <QCryptographicHash>
#include <QStringList>
#include <cmath>

using dicom::SrCode;
using dicom::SrItem;
using Type = SrItem::Type;
using Rel = SrItem::Relation;

namespace {

// Concepts of the report, as the standard's templates name them.
const SrCode XRayRadiationDoseReport{"113701", "DCM", "X-Ray Radiation Dose Report"};
const SrCode ProcedureReported{"121058", "DCM", "Procedure reported"};
const SrCode Mammography{"71651007", "SCT", "Mammography"};
const SrCode HasIntent{"363703001", "SCT", "Has Intent"};
const SrCode ScreeningIntent{"360156006", "SCT", "Screening Intent"};
const SrCode DiagnosticIntent{"261004008", "SCT", "Diagnostic Intent"};
const SrCode ObserverType{"121005", "DCM", "Observer Type"};
const SrCode Device{"121007", "DCM", "Device"};
const SrCode DeviceObserverUid{"121012", "DCM", "Device Observer UID"};
const SrCode DeviceObserverName{"121013", "DCM", "Device Observer Name"};
const SrCode DeviceObserverModelName{"121015", "DCM", "Device Observer Model Name"};
const SrCode StationAeTitle{"110119", "DCM", "Station AE Title"};
const SrCode ScopeOfAccumulation{"113705", "DCM", "Scope of Accumulation"};
const SrCode Study{"113014", "DCM", "Study"};
const SrCode StudyInstanceUid{"110180", "DCM", "Study Instance UID"};
const SrCode DetectorDataAvailable{"113945", "DCM", "X-Ray Detector Data Available"};
const SrCode SourceDataAvailable{"113943", "DCM", "X-Ray Source Data Available"};
const SrCode MechanicalDataAvailable{"113944", "DCM", "X-Ray Mechanical Data Available"};
const SrCode Yes{"373066001", "SCT", "Yes"};
const SrCode No{"373067005", "SCT", "No"};
const SrCode AccumulatedDoseData{"113702", "DCM", "Accumulated X-Ray Dose Data"};
const SrCode AcquisitionPlane{"113764", "DCM", "Acquisition Plane"};
const SrCode SinglePlane{"113622", "DCM", "Single Plane"};
const SrCode AccumulatedAgd{"111637", "DCM", "Accumulated Average Glandular Dose"};
const SrCode Laterality{"272741003", "SCT", "Laterality"};
const SrCode RightBreast{"73056007", "SCT", "Right breast"};
const SrCode LeftBreast{"80248007", "SCT", "Left breast"};
const SrCode BothBreasts{"63762007", "SCT", "Both breasts"};
const SrCode IrradiationEventData{"113706", "DCM", "Irradiation Event X-Ray Data"};
const SrCode IrradiationEventUid{"113769", "DCM", "Irradiation Event UID"};
const SrCode DateTimeStarted{"111526", "DCM", "DateTime Started"};
const SrCode IrradiationEventType{"113721", "DCM", "Irradiation Event Type"};
const SrCode StationaryAcquisition{"113611", "DCM", "Stationary Acquisition"};
const SrCode AnatomicalStructure{"91723000", "SCT", "Anatomical structure"};
const SrCode Breast{"76752008", "SCT", "Breast"};
const SrCode Right{"24028007", "SCT", "Right"};
const SrCode Left{"7771000", "SCT", "Left"};
const SrCode ImageView{"111031", "DCM", "Image View"};
const SrCode TargetRegion{"123014", "DCM", "Target Region"};
const SrCode DoseAreaProduct{"122130", "DCM", "Dose Area Product"};
const SrCode EntranceExposureAtRp{"111636", "DCM", "Entrance Exposure at RP"};
const SrCode ReferencePointDefinition{"113780", "DCM", "Reference Point Definition"};
const SrCode AverageGlandularDose{"111631", "DCM", "Average Glandular Dose"};
const SrCode NumberOfPulses{"113768", "DCM", "Number of Pulses"};
const SrCode Kvp{"113733", "DCM", "KVP"};
const SrCode AverageTubeCurrent{"113767", "DCM", "Average X-Ray Tube Current"};
const SrCode ExposureTime{"113824", "DCM", "Exposure Time"};
const SrCode Exposure{"113736", "DCM", "Exposure"};
const SrCode SourceOfDoseInformation{"113854", "DCM", "Source of Dose Information"};
const SrCode AutomatedDataCollection{"113856", "DCM", "Automated Data Collection"};
const SrCode ValueUnknown{"114010", "DCM", "Value unknown"};

// Units (UCUM).
const SrCode GyM2{"Gy.m2", "UCUM", "Gy.m2"};
const SrCode MGy{"mGy", "UCUM", "mGy"};
const SrCode KV{"kV", "UCUM", "kV"};
const SrCode MA{"mA", "UCUM", "mA"};
const SrCode Ms{"ms", "UCUM", "ms"};
const SrCode UAs{"uA.s", "UCUM", "uA.s"};
const SrCode NoUnits{"1", "UCUM", "no units"};

const QString UnitEntranceDoseText = QStringLiteral("Entrance dose as the X-ray unit reports it");
const QString NoEntranceDoseText = QStringLiteral("The X-ray unit reports no entrance dose");

struct View {
    const char *name;
    SrCode code;
};
const View Views[] = {
    {"CC", {"399162004", "SCT", "cranio-caudal"}},
    {"MLO", {"399368009", "SCT", "medio-lateral oblique"}},
    {"ML", {"399260004", "SCT", "medio-lateral"}},
    {"LM", {"399352003", "SCT", "latero-medial"}},
    {"XCCL", {"399192003", "SCT", "cranio-caudal exaggerated laterally"}},
    {"XCCM", {"399101009", "SCT", "cranio-caudal exaggerated medially"}},
    {"FB", {"399196000", "SCT", "caudo-cranial (from below)"}},
    {"SIO", {"399188001", "SCT", "superolateral to inferomedial oblique"}},
    {"LMO", {"399099002", "SCT", "latero-medial oblique"}},
};

SrItem item(Type type, Rel rel, const SrCode &name)
{
    SrItem i;
    i.type = type;
    i.relation = rel;
    i.name = name;
    return i;
}

SrItem code(Rel rel, const SrCode &name, const SrCode &value)
{
    SrItem i = item(Type::Code, rel, name);
    i.code = value;
    return i;
}

SrItem text(Type type, Rel rel, const SrCode &name, const QString &value)
{
    SrItem i = item(type, rel, name);
    i.text = value;
    return i;
}

// A measurement: its number with its unit, or no number and "Value unknown".
SrItem num(const SrCode &name, std::optional<double> value, const SrCode &unit)
{
    SrItem i = item(Type::Num, Rel::Contains, name);
    if (value) {
        i.text = DoseReport::numberText(*value);
        i.code = unit;
    } else {
        i.qualifier = ValueUnknown;
    }
    return i;
}

std::optional<double> numberOf(const SrItem *i)
{
    if (!i || i->text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const double v = i->text.toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

SrItem eventContainer(const DoseEvent &e)
{
    if (e.eventUid.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("Exposure %1 has no Irradiation Event UID").arg(e.imageNo));
    SrItem c = item(Type::Container, Rel::Contains, IrradiationEventData);
    c.children.push_back(code(Rel::HasConceptMod, AcquisitionPlane, SinglePlane));
    c.children.push_back(text(Type::UidRef, Rel::Contains, IrradiationEventUid, e.eventUid));
    c.children.push_back(text(Type::DateTime, Rel::Contains, DateTimeStarted, e.dateTime));
    c.children.push_back(code(Rel::Contains, IrradiationEventType, StationaryAcquisition));
    SrItem anatomy = code(Rel::Contains, AnatomicalStructure, Breast);
    if (e.laterality == QLatin1String("R") || e.laterality == QLatin1String("L"))
        anatomy.children.push_back(
            code(Rel::HasConceptMod, Laterality, e.laterality == QLatin1String("R") ? Right : Left));
    c.children.push_back(anatomy);
    if (auto v = DoseReport::viewCode(e.view))
        c.children.push_back(code(Rel::Contains, ImageView, *v));
    c.children.push_back(code(Rel::Contains, TargetRegion, Breast));
    if (e.dap)
        c.children.push_back(num(DoseAreaProduct, e.dap, GyM2));
    c.children.push_back(num(EntranceExposureAtRp, e.entranceDose, MGy));
    c.children.push_back(text(Type::Text, Rel::Contains, ReferencePointDefinition,
                              e.entranceDose ? UnitEntranceDoseText : NoEntranceDoseText));
    // The source data: none of the units measures the glandular dose.
    c.children.push_back(num(AverageGlandularDose, std::nullopt, MGy));
    c.children.push_back(num(NumberOfPulses, 1.0, NoUnits));
    if (e.kvp)
        c.children.push_back(num(Kvp, e.kvp, KV));
    if (e.tubeCurrent)
        c.children.push_back(num(AverageTubeCurrent, e.tubeCurrent, MA));
    if (e.exposureTime)
        c.children.push_back(num(ExposureTime, e.exposureTime, Ms));
    c.children.push_back(num(Exposure, e.mas ? std::optional<double>(*e.mas * 1000.0) : std::nullopt, UAs));
    return c;
}

DoseEvent eventOf(const SrItem &c)
{
    DoseEvent e;
    if (const SrItem *i = c.child(IrradiationEventUid))
        e.eventUid = i->text;
    if (const SrItem *i = c.child(DateTimeStarted))
        e.dateTime = i->text;
    if (const SrItem *a = c.child(AnatomicalStructure))
        if (const SrItem *l = a->child(Laterality))
            e.laterality = l->code.is(Right) ? QStringLiteral("R") : l->code.is(Left) ? QStringLiteral("L") : QString();
    if (const SrItem *v = c.child(ImageView))
        e.view = DoseReport::viewOfCode(v->code);
    e.dap = numberOf(c.child(DoseAreaProduct));
    e.entranceDose = numberOf(c.child(EntranceExposureAtRp));
    e.kvp = numberOf(c.child(Kvp));
    e.tubeCurrent = numberOf(c.child(AverageTubeCurrent));
    e.exposureTime = numberOf(c.child(ExposureTime));
    if (auto uas = numberOf(c.child(Exposure)))
        e.mas = *uas / 1000.0;
    return e;
}

QString attr(const dicom::DataSet &ds, quint16 g, quint16 el) { return ds.value(g, el).value_or(QString()); }

} // namespace

namespace DoseReport {

QString unitName(qint16 unit)
{
    switch (unit) {
    case XrayUnit::Sophie:
        return QStringLiteral("Sophie");
    case XrayUnit::Giotto:
        return QStringLiteral("Giotto");
    case XrayUnit::LoradM4:
        return QStringLiteral("Lorad M4");
    case XrayUnit::Hfe501:
        return QStringLiteral("HFE 501");
    default:
        return {};
    }
}

std::optional<SrCode> viewCode(const QString &view)
{
    for (const View &v : Views)
        if (view.compare(QLatin1String(v.name), Qt::CaseInsensitive) == 0)
            return v.code;
    return std::nullopt;
}

QString viewOfCode(const SrCode &code)
{
    for (const View &v : Views)
        if (v.code.is(code))
            return QString::fromLatin1(v.name);
    return code.meaning;
}

QString numberText(double value)
{
    // Up to 10 significant digits, shorter where the value allows: 9.6E-06, 28, 0.5.
    for (int digits = 10; digits > 0; --digits) {
        QString t = QString::number(value, 'G', digits);
        if (t.size() <= 16)
            return t;
    }
    return QString::number(value, 'E', 3);
}

dicom::SrDocument document(const DoseReportFacts &f)
{
    if (f.studyUid.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("The dose report has no study"));
    if (f.events.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("The dose report has no exposures"));
    if (f.deviceUid.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("The dose report has no device UID"));

    dicom::SrDocument doc;
    doc.templateId = QStringLiteral("10001");
    doc.mappingResource = QStringLiteral("DCMR");
    SrItem &root = doc.root;
    root = item(Type::Container, Rel::Root, XRayRadiationDoseReport);

    SrItem procedure = code(Rel::HasConceptMod, ProcedureReported, Mammography);
    procedure.children.push_back(code(Rel::HasConceptMod, HasIntent, f.screening ? ScreeningIntent : DiagnosticIntent));
    root.children.push_back(procedure);

    // The X-ray unit observed the doses; the station only carries them.
    root.children.push_back(code(Rel::HasObsContext, ObserverType, Device));
    root.children.push_back(text(Type::UidRef, Rel::HasObsContext, DeviceObserverUid, f.deviceUid));
    const QString name = unitName(f.unit);
    if (!name.isEmpty()) {
        root.children.push_back(text(Type::Text, Rel::HasObsContext, DeviceObserverName, name));
        root.children.push_back(text(Type::Text, Rel::HasObsContext, DeviceObserverModelName, name));
    }
    if (!f.stationAet.isEmpty())
        root.children.push_back(text(Type::Text, Rel::HasObsContext, StationAeTitle, f.stationAet));

    SrItem scope = code(Rel::HasObsContext, ScopeOfAccumulation, Study);
    scope.children.push_back(text(Type::UidRef, Rel::HasProperties, StudyInstanceUid, f.studyUid));
    root.children.push_back(scope);

    root.children.push_back(code(Rel::Contains, DetectorDataAvailable, No));
    root.children.push_back(code(Rel::Contains, SourceDataAvailable, Yes));
    root.children.push_back(code(Rel::Contains, MechanicalDataAvailable, No));

    // Accumulated: the glandular dose of each breast imaged, never measured here.
    SrItem accumulated = item(Type::Container, Rel::Contains, AccumulatedDoseData);
    accumulated.children.push_back(code(Rel::HasConceptMod, AcquisitionPlane, SinglePlane));
    bool right = false, left = false;
    for (const DoseEvent &e : f.events) {
        right = right || e.laterality == QLatin1String("R");
        left = left || e.laterality == QLatin1String("L");
    }
    QList<SrCode> breasts;
    if (right)
        breasts << RightBreast;
    if (left)
        breasts << LeftBreast;
    // Without images the breasts are not known; the examination is of both.
    if (breasts.isEmpty())
        breasts << BothBreasts;
    for (const SrCode &b : breasts) {
        SrItem agd = num(AccumulatedAgd, std::nullopt, MGy);
        agd.children.push_back(code(Rel::HasConceptMod, Laterality, b));
        accumulated.children.push_back(agd);
    }
    root.children.push_back(accumulated);

    for (const DoseEvent &e : f.events)
        root.children.push_back(eventContainer(e));
    root.children.push_back(code(Rel::Contains, SourceOfDoseInformation, AutomatedDataCollection));

    dicom::DataSet &a = doc.attributes;
    a.set(0x0010, 0x0010, f.patientName);
    a.set(0x0010, 0x0020, f.patientId);
    a.set(0x0010, 0x0030, f.birthDate);
    a.set(0x0010, 0x0040, f.sex);
    a.set(0x0020, 0x000D, f.studyUid);
    a.set(0x0008, 0x0020, f.studyDate);
    a.set(0x0008, 0x0030, f.studyTime);
    a.set(0x0008, 0x0090, f.referringPhysician);
    a.set(0x0020, 0x0010, f.studyId);
    a.set(0x0008, 0x0050, f.accessionNumber);
    if (!f.studyDescription.isEmpty())
        a.set(0x0008, 0x1030, f.studyDescription);
    a.set(0x0020, 0x000E, f.seriesUid);
    a.set(0x0020, 0x0011, QStringLiteral("900"));
    a.set(0x0008, 0x103E, QStringLiteral("Dose report"));
    a.set(0x0008, 0x0018, f.sopUid);
    a.set(0x0020, 0x0013, QStringLiteral("1"));
    a.set(0x0008, 0x0023, f.contentDate);
    a.set(0x0008, 0x0033, f.contentTime);
    a.set(0x0008, 0x0012, f.contentDate);
    a.set(0x0008, 0x0013, f.contentTime);
    a.set(0x0008, 0x0070, f.manufacturer);
    a.set(0x0008, 0x1090, f.modelName);
    a.set(0x0018, 0x1000, f.serialNumber);
    a.set(0x0018, 0x1020, f.softwareVersions);
    if (!f.stationName.isEmpty())
        a.set(0x0008, 0x1010, f.stationName);
    if (!f.predecessorUid.isEmpty()) {
        // The report this one replaces, in the same study and series.
        dicom::DataSet sop;
        sop.set(0x0008, 0x1150, dicom::XRayRadiationDoseSrClass);
        sop.set(0x0008, 0x1155, f.predecessorUid);
        dicom::DataSet series;
        series.set(0x0020, 0x000E, f.seriesUid);
        series.setSequence(0x0008, 0x1199, {sop});
        dicom::DataSet study;
        study.set(0x0020, 0x000D, f.studyUid);
        study.setSequence(0x0008, 0x1115, {series});
        a.setSequence(0x0040, 0xA360, {study});
    }
    return doc;
}

DoseReportFacts facts(const dicom::SrDocument &doc)
{
    if (!doc.root.name.is(XRayRadiationDoseReport))
        throw AppError(ErrorNo::Dicom, QStringLiteral("This is no X-ray radiation dose report"));
    DoseReportFacts f;
    const dicom::DataSet &a = doc.attributes;
    f.patientName = attr(a, 0x0010, 0x0010);
    f.patientId = attr(a, 0x0010, 0x0020);
    f.birthDate = attr(a, 0x0010, 0x0030);
    f.sex = attr(a, 0x0010, 0x0040);
    f.studyUid = attr(a, 0x0020, 0x000D);
    f.studyDate = attr(a, 0x0008, 0x0020);
    f.studyTime = attr(a, 0x0008, 0x0030);
    f.accessionNumber = attr(a, 0x0008, 0x0050);
    f.studyId = attr(a, 0x0020, 0x0010);
    f.seriesUid = attr(a, 0x0020, 0x000E);
    f.sopUid = attr(a, 0x0008, 0x0018);
    f.contentDate = attr(a, 0x0008, 0x0023);
    f.contentTime = attr(a, 0x0008, 0x0033);
    f.manufacturer = attr(a, 0x0008, 0x0070);
    f.modelName = attr(a, 0x0008, 0x1090);
    if (const auto *pred = a.sequence(0x0040, 0xA360); pred && !pred->empty())
        if (const auto *series = pred->front().sequence(0x0008, 0x1115); series && !series->empty())
            if (const auto *sops = series->front().sequence(0x0008, 0x1199); sops && !sops->empty())
                f.predecessorUid = sops->front().value(0x0008, 0x1155).value_or(QString());
    if (const SrItem *p = doc.root.child(ProcedureReported))
        if (const SrItem *intent = p->child(HasIntent))
            f.screening = intent->code.is(ScreeningIntent);
    if (const SrItem *i = doc.root.child(DeviceObserverUid))
        f.deviceUid = i->text;
    if (const SrItem *i = doc.root.child(DeviceObserverModelName))
        for (qint16 u : {XrayUnit::Sophie, XrayUnit::Giotto, XrayUnit::LoradM4, XrayUnit::Hfe501})
            if (unitName(u) == i->text)
                f.unit = u;
    if (const SrItem *i = doc.root.child(StationAeTitle))
        f.stationAet = i->text;
    if (const SrItem *s = doc.root.child(ScopeOfAccumulation))
        if (const SrItem *u = s->child(StudyInstanceUid))
            f.studyUid = u->text;
    int n = 0;
    for (const SrItem *c : doc.root.childrenNamed(IrradiationEventData)) {
        DoseEvent e = eventOf(*c);
        e.imageNo = ++n;
        e.unit = f.unit;
        f.events << e;
    }
    return f;
}

QString contentKey(const DoseReportFacts &f)
{
    // Everything the report says except when it was written and under which UIDs.
    QStringList parts{f.patientName,
                      f.patientId,
                      f.birthDate,
                      f.sex,
                      f.studyUid,
                      f.studyDate,
                      f.studyTime,
                      f.accessionNumber,
                      f.studyId,
                      f.referringPhysician,
                      QString::number(f.unit),
                      f.deviceUid,
                      f.stationAet,
                      f.screening ? QStringLiteral("S") : QStringLiteral("D")};
    auto n = [](const std::optional<double> &v) { return v ? numberText(*v) : QStringLiteral("-"); };
    for (const DoseEvent &e : f.events)
        parts << e.eventUid << e.dateTime << e.laterality << e.view << e.imageUid << n(e.dap) << n(e.entranceDose)
              << n(e.kvp) << n(e.mas) << n(e.exposureTime) << n(e.tubeCurrent);
    return QString::fromLatin1(
        QCryptographicHash::hash(parts.join(QChar(0x1F)).toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace DoseReport
