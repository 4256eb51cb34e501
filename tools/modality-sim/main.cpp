// modality-sim: plays the image side of a full-field digital mammography unit. For one
// patient (as the worklist scheduled it) it makes the images of the exposures named by
// their numbers - 1 R CC, 2 L CC, 3 R MLO, 4 L MLO, then again from 5 - as Digital
// Mammography X-Ray Images For Presentation (MONOCHROME2, 14 bits stored, breast shape and
// tissue texture, the display window stored) and sends them over DICOM C-STORE.
//
//   modality-sim --host 127.0.0.1 --port 11112 --called CALVAREX --patient-id P1
//                --name "Doe^Jane" --study-uid 1.2.3 --instance 1,2,3,4 [options]
//
// Every image sent is reported as "SENT <number> <view> <SOP Instance UID> 0x0000" (the
// receiver's status); the exit code is 0 only when every image was accepted. With --out
// the files are kept in that folder; with --no-send they are only written.
#include "StoreFixture.h"
#include "dicom/Uid.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>

namespace {

const char *const MammoForPresentation = UID_DigitalMammographyXRayImageStorageForPresentation;

struct Patient {
    QString id, name, birthDate, sex, accession, studyUid, seriesUid, referring, institution;
};

struct View {
    char laterality;
    const char *view; // View Position
    const char *code; // view code (SNOMED-RT, as the units write it)
    const char *meaning;
    const char *orientation; // Patient Orientation, rows\columns, as the pixels are drawn
};

// The exposure number's view: the screening order R CC, L CC, R MLO, L MLO.
View viewOf(int number)
{
    static const View views[] = {
        {'R', "CC", "R-10242", "cranio-caudal", "A\\L"},
        {'L', "CC", "R-10242", "cranio-caudal", "P\\R"},
        {'R', "MLO", "R-10226", "medio-lateral oblique", "A\\F"},
        {'L', "MLO", "R-10226", "medio-lateral oblique", "P\\F"},
    };
    return views[(number - 1) % 4];
}

bool put(DcmItem *item, const DcmTagKey &tag, const QString &value)
{
    // The images carry ISO_IR 100 (Latin-1): names such as "Müller" are written in it.
    return item->putAndInsertString(tag, value.toLatin1().constData()).good();
}

void addCode(DcmItem *ds, const DcmTagKey &sequence, const char *value, const char *scheme, const char *meaning)
{
    DcmItem *item = nullptr;
    if (ds->findOrCreateSequenceItem(sequence, item, -2).good() && item) {
        item->putAndInsertString(DCM_CodeValue, value);
        item->putAndInsertString(DCM_CodingSchemeDesignator, scheme);
        item->putAndInsertString(DCM_CodeMeaning, meaning);
    }
}

// Writes the image of one exposure to path; returns its SOP Instance UID.
QString makeImage(const QString &path, const Patient &p, int number, const QSize &size, const QString &kvp,
                  const QString &mas)
{
    const View v = viewOf(number);
    StoreFixture::Mammogram m;
    m.size = size;
    m.laterality = v.laterality;
    m.view = QString::fromLatin1(v.view);
    m.instanceNumber = number;
    // The same breast looks alike in its two views, the two breasts differ.
    m.seed = quint32(qHash(p.id) % 100000) * 2 + (v.laterality == 'L' ? 1 : 0) + 1;
    m.patientName = p.name;
    m.patientId = p.id;
    m.studyUid = p.studyUid;
    m.seriesUid = p.seriesUid;
    m.sopUid = dicom::newUid();
    StoreFixture::writeMammogram(path, m);

    // The generated pixels, completed into what a mammography unit sends.
    DcmFileFormat ff;
    if (ff.loadFile(QFile::encodeName(path).constData()).bad())
        throw std::runtime_error("cannot read back the generated image");
    // The file is written over below: its pixels must be read before.
    ff.loadAllDataIntoMemory();
    DcmDataset *ds = ff.getDataset();
    const QDateTime now = QDateTime::currentDateTime();
    const QString date = now.toString(QStringLiteral("yyyyMMdd"));
    const QString time = now.toString(QStringLiteral("hhmmss"));
    put(ds, DCM_SpecificCharacterSet, QStringLiteral("ISO_IR 100"));
    put(ds, DCM_ImageType, QStringLiteral("ORIGINAL\\PRIMARY"));
    put(ds, DCM_StudyDate, date);
    put(ds, DCM_SeriesDate, date);
    put(ds, DCM_ContentDate, date);
    put(ds, DCM_AcquisitionDate, date);
    put(ds, DCM_StudyTime, time);
    put(ds, DCM_SeriesTime, time);
    put(ds, DCM_ContentTime, time);
    put(ds, DCM_AcquisitionTime, time);
    put(ds, DCM_AccessionNumber, p.accession);
    put(ds, DCM_Manufacturer, QStringLiteral("Calvarex demo room"));
    put(ds, DCM_InstitutionName, p.institution);
    put(ds, DCM_ReferringPhysicianName, p.referring);
    put(ds, DCM_StationName, QStringLiteral("MAMMO-DEMO"));
    put(ds, DCM_StudyDescription, QStringLiteral("Screening mammography"));
    put(ds, DCM_SeriesDescription, QStringLiteral("Mammography 4 views"));
    put(ds, DCM_ManufacturerModelName, QStringLiteral("modality-sim"));
    put(ds, DCM_PatientName, p.name);
    put(ds, DCM_PatientBirthDate, p.birthDate);
    put(ds, DCM_PatientSex, p.sex);
    put(ds, DCM_BodyPartExamined, QStringLiteral("BREAST"));
    if (!kvp.isEmpty())
        put(ds, DCM_KVP, kvp);
    if (!mas.isEmpty())
        put(ds, DCM_ExposureInuAs, QString::number(qRound(mas.toDouble() * 1000)));
    put(ds, DCM_PositionerType, QStringLiteral("MAMMOGRAPHIC"));
    put(ds, DCM_DistanceSourceToDetector, QStringLiteral("660"));
    put(ds, DCM_DistanceSourceToPatient, QStringLiteral("620"));
    put(ds, DCM_EstimatedRadiographicMagnificationFactor, QStringLiteral("1.0645"));
    put(ds, DCM_ImagerPixelSpacing, QStringLiteral("0.085\\0.085"));
    put(ds, DCM_DetectorType, QStringLiteral("DIRECT"));
    put(ds, DCM_BodyPartThickness, QStringLiteral("%1").arg(40 + number % 3 * 6));
    put(ds, DCM_OrganExposed, QStringLiteral("BREAST"));
    put(ds, DCM_StudyID, QStringLiteral("1"));
    put(ds, DCM_PatientOrientation, QString::fromLatin1(v.orientation));
    put(ds, DCM_ViewPosition, QString::fromLatin1(v.view));
    put(ds, DCM_PresentationIntentType, QStringLiteral("FOR PRESENTATION"));
    put(ds, DCM_BurnedInAnnotation, QStringLiteral("NO"));
    put(ds, DCM_LossyImageCompression, QStringLiteral("00"));
    put(ds, DCM_PixelIntensityRelationship, QStringLiteral("LOG"));
    ds->putAndInsertSint16(DCM_PixelIntensityRelationshipSign, 1);
    put(ds, DCM_RescaleIntercept, QStringLiteral("0"));
    put(ds, DCM_RescaleSlope, QStringLiteral("1"));
    put(ds, DCM_RescaleType, QStringLiteral("US"));
    put(ds, DCM_PresentationLUTShape, QStringLiteral("IDENTITY"));
    put(ds, DCM_QualityControlImage, QStringLiteral("NO"));
    put(ds, DCM_BreastImplantPresent, QStringLiteral("NO"));
    put(ds, DCM_PartialView, QStringLiteral("NO"));
    addCode(ds, DCM_AnatomicRegionSequence, "T-04000", "SRT", "Breast");
    addCode(ds, DCM_ViewCodeSequence, v.code, "SRT", v.meaning);
    DcmItem *viewItem = nullptr;
    if (ds->findAndGetSequenceItem(DCM_ViewCodeSequence, viewItem, 0).good() && viewItem)
        viewItem->insertEmptyElement(DCM_ViewModifierCodeSequence);
    ds->insertEmptyElement(DCM_AcquisitionContextSequence);
    if (ff.saveFile(QFile::encodeName(path).constData(), EXS_LittleEndianExplicit).bad())
        throw std::runtime_error("cannot write the image");
    return m.sopUid;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Only what went wrong from the toolkit; the images sent are reported below.
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    QCommandLineParser args;
    args.setApplicationDescription(
        QStringLiteral("Sends the mammograms of a patient's exposures to a storage receiver."));
    args.addHelpOption();
    auto opt = [&args](const char *name, const char *help, const char *value = nullptr, const char *def = nullptr) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(help));
        if (value)
            o.setValueName(QString::fromLatin1(value));
        if (def)
            o.setDefaultValue(QString::fromLatin1(def));
        args.addOption(o);
        return o;
    };
    const auto host = opt("host", "Receiver host.", "host", "127.0.0.1");
    const auto port = opt("port", "Receiver port.", "port");
    const auto called = opt("called", "Receiver AE title.", "aet");
    const auto calling = opt("calling", "This unit's AE title.", "aet", "MAMMOUNIT");
    const auto id = opt("patient-id", "Patient ID.", "id");
    const auto name = opt("name", "Patient's name, Family^Given.", "name");
    const auto birth = opt("birth", "Birth date, YYYYMMDD.", "date");
    const auto sex = opt("sex", "Sex (F, M, O).", "sex", "F");
    const auto accession = opt("accession", "Accession number.", "number");
    const auto referring = opt("referring", "Referring physician.", "name");
    const auto institution = opt("institution", "Institution.", "name");
    const auto study = opt("study-uid", "Study Instance UID (from the worklist); new when left out.", "uid");
    const auto series = opt("series-uid", "Series Instance UID; new when left out.", "uid");
    const auto numbers = opt("instance", "Exposure numbers, e.g. 1,2,3,4.", "list", "1,2,3,4");
    const auto size = opt("size", "Image size WxH.", "size", "2560x3328");
    const auto kvp = opt("kvp", "Tube voltage of the exposures.", "kV");
    const auto mas = opt("mas", "Tube current-time product of the exposures.", "mAs");
    const auto out = opt("out", "Keep the images in this folder.", "folder");
    const auto noSend = opt("no-send", "Only write the images.");
    args.process(app);

    Patient p;
    p.id = args.value(id);
    p.name = args.value(name);
    p.birthDate = args.value(birth);
    p.sex = args.value(sex);
    p.accession = args.value(accession);
    p.referring = args.value(referring);
    p.institution = args.value(institution);
    p.studyUid = args.isSet(study) ? args.value(study) : dicom::newUid();
    p.seriesUid = args.isSet(series) ? args.value(series) : dicom::newUid();
    const QStringList wh = args.value(size).split(QLatin1Char('x'));
    const QSize imageSize(wh.value(0).toInt(), wh.value(1).toInt());
    if (p.id.isEmpty() || imageSize.width() < 16 || imageSize.height() < 16
        || (!args.isSet(noSend) && (!args.isSet(port) || !args.isSet(called)))) {
        std::fprintf(stderr, "modality-sim: --patient-id, a valid --size and (unless --no-send) --port and --called "
                             "are needed; see --help\n");
        return 2;
    }
    QList<int> exposures;
    for (const QString &n : args.value(numbers).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int v = n.trimmed().toInt(&ok);
        if (!ok || v < 1) {
            std::fprintf(stderr, "modality-sim: \"%s\" is not an exposure number\n", qPrintable(n));
            return 2;
        }
        exposures.append(v);
    }

    QTemporaryDir temp;
    const QString folder = args.isSet(out) ? args.value(out) : temp.path();
    QDir().mkpath(folder);
    QStringList files, uids;
    try {
        for (int n : exposures) {
            const QString file = QStringLiteral("%1/MG%2.dcm").arg(folder).arg(n);
            uids << makeImage(file, p, n, imageSize, args.value(kvp), args.value(mas));
            files << file;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "modality-sim: %s\n", e.what());
        return 1;
    }
    if (args.isSet(noSend)) {
        for (int i = 0; i < files.size(); ++i)
            std::printf("WROTE %d %s\n", exposures[i], qPrintable(files[i]));
        return 0;
    }

    DcmSCU scu;
    scu.setAETitle(args.value(calling).toLatin1().constData());
    scu.setPeerHostName(args.value(host).toLatin1().constData());
    scu.setPeerPort(Uint16(args.value(port).toUInt()));
    scu.setPeerAETitle(args.value(called).toLatin1().constData());
    scu.setACSETimeout(30);
    scu.setDIMSETimeout(60);
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(MammoForPresentation, syntaxes);
    if (scu.initNetwork().bad() || scu.negotiateAssociation().bad()) {
        std::fprintf(stderr, "modality-sim: the receiver %s@%s:%s did not accept the association\n",
                     qPrintable(args.value(called)), qPrintable(args.value(host)), qPrintable(args.value(port)));
        return 1;
    }
    const T_ASC_PresentationContextID pc = scu.findPresentationContextID(MammoForPresentation, "");
    int failed = 0;
    for (int i = 0; i < files.size(); ++i) {
        Uint16 status = 0xFFFF;
        const OFCondition c =
            scu.sendSTORERequest(pc, OFFilename(QFile::encodeName(files[i]).constData()), nullptr, status);
        if (c.bad())
            status = 0xFFFF;
        if (status != 0)
            ++failed;
        std::printf("SENT %d %c%s %s 0x%04X\n", exposures[i], viewOf(exposures[i]).laterality,
                    viewOf(exposures[i]).view, qPrintable(uids[i]), status);
        std::fflush(stdout);
    }
    scu.releaseAssociation();
    return failed == 0 ? 0 : 1;
}
