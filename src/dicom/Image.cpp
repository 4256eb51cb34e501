#include "dicom/Image.h"

#include "core/AppError.h"
#include "dicom/Codecs.h"
#include "dicom/DcmSupport.h"
#include "dicom/Dictionary.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cmath>
#include <filesystem>
#include <limits>

namespace dicom {

namespace {

QString tagLabel(quint16 g, quint16 e) { return QLatin1Char('(') + tagText(g, e) + QLatin1Char(')'); }

bool isBinaryVr(DcmEVR vr)
{
    switch (vr) {
    case EVR_OB:
    case EVR_OD:
    case EVR_OF:
    case EVR_OL:
    case EVR_OV:
    case EVR_OW:
    case EVR_UN:
    case EVR_ox:
    case EVR_px:
    case EVR_lt:
    case EVR_pixelSQ:
    case EVR_pixelItem:
    case EVR_UNKNOWN:
    case EVR_UNKNOWN2B:
    case EVR_PixelData:
    case EVR_OverlayData:
        return true;
    default:
        return false;
    }
}

bool isSequence(const DcmElement *el) { return el && el->ident() == EVR_SQ; }

DcmElement *findElement(DcmItem *container, quint16 g, quint16 e)
{
    DcmElement *el = nullptr;
    if (container->findAndGetElement(DcmTagKey(g, e), el, OFFalse).bad())
        return nullptr;
    return el;
}

// Text of one element as the header display and the attribute reads show it.
std::optional<QString> elementText(DcmElement *el, DcmItem &dataset, int index0 = -1)
{
    if (!el)
        return std::nullopt;
    if (isSequence(el)) {
        auto *sq = static_cast<DcmSequenceOfItems *>(el);
        const long count = static_cast<long>(sq->card());
        if (count == 0 || (index0 >= 0 && index0 >= count))
            return std::nullopt;
        return UnknownDataType;
    }
    if (el->getLength() == 0)
        return std::nullopt;
    if (isBinaryVr(el->ident())) {
        if (index0 > 0)
            return std::nullopt;
        return UnknownDataType;
    }
    OFString raw;
    OFCondition c = index0 < 0 ? el->getOFStringArray(raw, OFTrue)
                               : el->getOFString(raw, static_cast<unsigned long>(index0), OFTrue);
    if (c.bad())
        return (index0 >= 0 && static_cast<unsigned long>(index0) >= el->getVM())
                   ? std::nullopt
                   : std::optional<QString>(UnknownDataType);
    const QString text = decodeText(raw, el, dataset);
    if (text.trimmed().isEmpty())
        return std::nullopt;
    return text;
}

// A new element for (g,e) holding text; the VR is the existing element's, else the
// dictionary's, else fallbackVr for unknown (private) elements.
DcmElement *makeElement(DcmItem &dataset, DcmElement *existing, quint16 g, quint16 e, const QString &text,
                        DcmEVR fallbackVr)
{
    DcmTag tag(g, e);
    DcmEVR vr = existing ? existing->ident() : tag.getEVR();
    if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B || (vr == EVR_UN && !existing))
        vr = fallbackVr;
    if (vr == EVR_SQ)
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("%1 is a sequence and takes no text value").arg(tagLabel(g, e)));
    tag.setVR(DcmVR(vr));
    DcmElement *el = nullptr;
    if (DcmItem::newDicomElementWithVR(el, tag).bad() || !el)
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot create element %1").arg(tagLabel(g, e)));
    const QByteArray bytes = encodeText(text, el, dataset);
    const OFCondition c = el->putString(bytes.constData(), static_cast<Uint32>(bytes.size()));
    if (c.bad()) {
        delete el;
        throw AppError(ErrorNo::BadInput, QStringLiteral("Cannot set %1 to \"%2\": %3")
                                              .arg(tagLabel(g, e), text.left(80), QString::fromLatin1(c.text())));
    }
    return el;
}

void fillItem(DcmItem &item, DcmItem &dataset, const DataSet &ds);

DcmSequenceOfItems *makeSequence(DcmItem &dataset, quint16 g, quint16 e, const std::vector<DataSet> &items)
{
    auto *sq = new DcmSequenceOfItems(DcmTag(g, e, EVR_SQ));
    try {
        for (const DataSet &ds : items) {
            auto *item = new DcmItem();
            sq->append(item);
            fillItem(*item, dataset, ds);
        }
    } catch (...) {
        delete sq;
        throw;
    }
    return sq;
}

void fillItem(DcmItem &item, DcmItem &dataset, const DataSet &ds)
{
    for (const DataSet::Element &de : ds.elements()) {
        DcmElement *el = de.isSequence ? makeSequence(dataset, de.group, de.element, de.items)
                                       : makeElement(dataset, nullptr, de.group, de.element, de.text, EVR_LO);
        if (item.insert(el, OFTrue).bad()) {
            delete el;
            throw AppError(ErrorNo::Dicom,
                           QStringLiteral("Cannot add %1 to a sequence item").arg(tagLabel(de.group, de.element)));
        }
    }
}

DataSet readItem(DcmItem &item, DcmItem &dataset)
{
    DataSet ds;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement *el = item.getElement(i);
        if (!el)
            continue;
        const DcmTagKey key = el->getTag();
        if (isSequence(el)) {
            auto *sq = static_cast<DcmSequenceOfItems *>(el);
            std::vector<DataSet> items;
            for (unsigned long k = 0; k < sq->card(); ++k)
                items.push_back(readItem(*sq->getItem(k), dataset));
            ds.setSequence(key.getGroup(), key.getElement(), std::move(items));
        } else {
            ds.set(key.getGroup(), key.getElement(), elementText(el, dataset).value_or(QString()));
        }
    }
    return ds;
}

} // namespace

// --- construction, files ----------------------------------------------------------------

Image::Image() : m_ff(std::make_unique<DcmFileFormat>()) {}
Image::~Image() = default;

std::unique_ptr<Image> Image::create() { return std::unique_ptr<Image>(new Image()); }

std::unique_ptr<Image> Image::fromFileFormat(std::unique_ptr<DcmFileFormat> ff, const QString &path)
{
    std::unique_ptr<Image> img(new Image());
    img->m_ff = std::move(ff);
    img->m_path = path;
    return img;
}

std::unique_ptr<Image> Image::clone() const
{
    m_ff->loadAllDataIntoMemory();
    return fromFileFormat(std::make_unique<DcmFileFormat>(*m_ff), m_path);
}

std::unique_ptr<Image> Image::readFile(const QString &path)
{
    auto ff = loadFileFormat(path);
    return fromFileFormat(std::move(ff), path);
}

void Image::writeFile(const QString &path) const
{
    const QFileInfo target(path);
    const QDir dir = target.absoluteDir();
    if (!dir.exists())
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write DICOM file \"%1\": the folder does not exist").arg(path));

    // Values still left in the source file are read now: the target may be that file.
    if (m_ff->loadAllDataIntoMemory().bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write DICOM file \"%1\": its source \"%2\" can no longer be read")
                           .arg(path, m_path));

    DcmDataset *ds = m_ff->getDataset();
    E_TransferSyntax xfer = ds->getOriginalXfer();
    // Big endian is retired, and few readers take a deflated data set: those, and
    // everything without a stored syntax, are written explicit little endian.
    if (xfer == EXS_Unknown || xfer == EXS_BigEndianExplicit || xfer == EXS_BigEndianImplicit
        || xfer == EXS_DeflatedLittleEndianExplicit)
        xfer = EXS_LittleEndianExplicit;
    if (!ds->canWriteXfer(xfer)) {
        if (ds->canWriteXfer(EXS_LittleEndianExplicit))
            xfer = EXS_LittleEndianExplicit;
        else
            throw AppError(
                ErrorNo::Dicom,
                QStringLiteral("Cannot write DICOM file \"%1\": the pixel data cannot be written in transfer syntax %2")
                    .arg(path, QString::fromLatin1(DcmXfer(xfer).getXferName())));
    }

    const QString temp = dir.filePath(
        QStringLiteral(".%1.%2.part").arg(target.fileName()).arg(QRandomGenerator::global()->generate64(), 0, 16));
    const OFCondition c =
        m_ff->saveFile(toFilename(temp), xfer, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0, EWM_updateMeta);
    if (c.bad()) {
        QFile::remove(temp);
        throw AppError(
            ErrorNo::Dicom,
            QStringLiteral("Cannot write DICOM file \"%1\": %2").arg(path, QString::fromLocal8Bit(c.text())));
    }
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(temp.toStdU16String()),
                            std::filesystem::path(target.absoluteFilePath().toStdU16String()), ec);
    if (ec) {
        QFile::remove(temp);
        throw AppError(
            ErrorNo::FileIo,
            QStringLiteral("Cannot write DICOM file \"%1\": %2").arg(path, QString::fromStdString(ec.message())));
    }
}

QString Image::transferSyntaxUid() const
{
    const E_TransferSyntax xfer = m_ff->getDataset()->getOriginalXfer();
    if (xfer == EXS_Unknown)
        return {};
    return QString::fromLatin1(DcmXfer(xfer).getXferID());
}

// --- identity ------------------------------------------------------------------------------

QString Image::sopInstanceUid() const
{
    if (auto v = value(0x0008, 0x0018))
        return *v;
    return value(0x0002, 0x0003).value_or(QString());
}

QString Image::sopClassUid() const
{
    if (auto v = value(0x0008, 0x0016))
        return *v;
    return value(0x0002, 0x0002).value_or(QString());
}

void Image::setSopClass(const QString &uid)
{
    setText(0x0008, 0x0016, uid);
    setText(0x0002, 0x0002, uid);
}

// --- attributes ------------------------------------------------------------------------------

static DcmItem *containerOf(DcmFileFormat &ff, quint16 group)
{
    if (group == 0x0002)
        return ff.getMetaInfo();
    return ff.getDataset();
}

bool Image::exists(quint16 group, quint16 element) const
{
    return containerOf(*m_ff, group)->tagExists(DcmTagKey(group, element), OFFalse);
}

bool Image::isList(quint16 group, quint16 element) const
{
    DcmElement *el = findElement(containerOf(*m_ff, group), group, element);
    if (!el)
        return false;
    if (isSequence(el))
        return true;
    return !isBinaryVr(el->ident()) && el->getLength() > 0 && el->getVM() > 1;
}

int Image::valueCount(quint16 group, quint16 element) const
{
    DcmElement *el = findElement(containerOf(*m_ff, group), group, element);
    if (!el)
        return 0;
    if (isSequence(el))
        return static_cast<int>(static_cast<DcmSequenceOfItems *>(el)->card());
    if (el->getLength() == 0)
        return 0;
    return isBinaryVr(el->ident()) ? 1 : static_cast<int>(el->getVM());
}

std::optional<QString> Image::value(quint16 group, quint16 element) const
{
    return elementText(findElement(containerOf(*m_ff, group), group, element), *m_ff->getDataset());
}

std::optional<QString> Image::valueAt(quint16 group, quint16 element, int index1) const
{
    if (index1 < 1)
        return std::nullopt;
    return elementText(findElement(containerOf(*m_ff, group), group, element), *m_ff->getDataset(), index1 - 1);
}

std::optional<std::vector<QString>> Image::values(quint16 group, quint16 element) const
{
    DcmElement *el = findElement(containerOf(*m_ff, group), group, element);
    if (!el)
        return std::nullopt;
    std::vector<QString> out;
    if (isSequence(el)) {
        if (static_cast<DcmSequenceOfItems *>(el)->card() > 0)
            out.push_back(UnknownDataType);
        return out;
    }
    if (el->getLength() == 0)
        return out;
    if (isBinaryVr(el->ident())) {
        out.push_back(UnknownDataType);
        return out;
    }
    const unsigned long vm = el->getVM();
    if (!el->isaString()) {
        // Numbers and attribute tags: the toolkit reads each one directly.
        out.reserve(vm);
        for (unsigned long i = 0; i < vm; ++i) {
            OFString raw;
            out.push_back(el->getOFString(raw, i, OFTrue).good()
                              ? QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()))
                              : UnknownDataType);
        }
        return out;
    }
    // Read raw and split here: the toolkit's normalising read goes value by value and
    // scans the whole element for each of them.
    OFString raw;
    if (el->getOFStringArray(raw, OFFalse).bad()) {
        out.push_back(UnknownDataType);
        return out;
    }
    const QString text = decodeText(raw, el, *m_ff->getDataset());
    if (vm <= 1) {
        // LT, ST, UT hold a single value that may itself contain "\"; their leading
        // blanks belong to the text.
        const DcmEVR vr = el->ident();
        if (vr == EVR_LT || vr == EVR_ST || vr == EVR_UT) {
            qsizetype end = text.size();
            while (end > 0 && (text.at(end - 1).isSpace() || text.at(end - 1) == QChar(0)))
                --end;
            out.push_back(text.left(end));
        } else {
            out.push_back(text.trimmed());
        }
        return out;
    }
    const QStringList parts = text.split(QLatin1Char('\\'));
    out.reserve(static_cast<size_t>(parts.size()));
    for (const QString &p : parts)
        out.push_back(p.trimmed());
    return out;
}

void Image::setText(quint16 group, quint16 element, const QString &text)
{
    DcmItem *c = containerOf(*m_ff, group);
    DcmElement *existing = findElement(c, group, element);
    DcmElement *el = makeElement(*m_ff->getDataset(), existing, group, element, text, EVR_LO);
    if (c->insert(el, OFTrue).bad()) {
        delete el;
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot set %1").arg(tagLabel(group, element)));
    }
}

void Image::setInt(quint16 group, quint16 element, qint64 value)
{
    DcmItem *c = containerOf(*m_ff, group);
    DcmElement *existing = findElement(c, group, element);
    const DcmEVR vr = existing ? existing->ident() : DcmTag(group, element).getEVR();
    qint64 lo = std::numeric_limits<qint64>::min(), hi = std::numeric_limits<qint64>::max();
    switch (vr) {
    case EVR_US:
        lo = 0;
        hi = 65535;
        break;
    case EVR_SS:
        lo = -32768;
        hi = 32767;
        break;
    case EVR_UL:
        lo = 0;
        hi = 4294967295LL;
        break;
    case EVR_SL:
    case EVR_IS:
        lo = -2147483648LL;
        hi = 2147483647LL;
        break;
    case EVR_xs:
        lo = -32768;
        hi = 65535;
        break;
    default:
        break;
    }
    if (value < lo || value > hi)
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("%1 cannot hold the value %2").arg(tagLabel(group, element)).arg(value));
    DcmElement *el = makeElement(*m_ff->getDataset(), existing, group, element, QString::number(value), EVR_IS);
    if (c->insert(el, OFTrue).bad()) {
        delete el;
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot set %1").arg(tagLabel(group, element)));
    }
}

void Image::setSequence(quint16 group, quint16 element, const std::vector<DataSet> &items)
{
    DcmItem *c = containerOf(*m_ff, group);
    DcmSequenceOfItems *sq = makeSequence(*m_ff->getDataset(), group, element, items);
    if (c->insert(sq, OFTrue).bad()) {
        delete sq;
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot set the sequence %1").arg(tagLabel(group, element)));
    }
}

std::optional<std::vector<DataSet>> Image::sequence(quint16 group, quint16 element) const
{
    DcmElement *el = findElement(containerOf(*m_ff, group), group, element);
    if (!isSequence(el))
        return std::nullopt;
    auto *sq = static_cast<DcmSequenceOfItems *>(el);
    std::vector<DataSet> out;
    for (unsigned long k = 0; k < sq->card(); ++k)
        out.push_back(readItem(*sq->getItem(k), *m_ff->getDataset()));
    return out;
}

void Image::remove(quint16 group, quint16 element)
{
    containerOf(*m_ff, group)->findAndDeleteElement(DcmTagKey(group, element), OFFalse, OFFalse);
}

// --- window ------------------------------------------------------------------------------------

std::optional<std::pair<double, double>> Image::storedWindow() const
{
    DcmDataset *ds = m_ff->getDataset();
    Float64 centre = 0, width = 0;
    if (ds->findAndGetFloat64(DCM_WindowCenter, centre, 0).bad()
        || ds->findAndGetFloat64(DCM_WindowWidth, width, 0).bad())
        return std::nullopt;
    if (!std::isfinite(centre) || !std::isfinite(width) || width <= 0)
        return std::nullopt;
    return std::make_pair(double(centre), double(width));
}

void Image::setWindow(double centre, double width)
{
    if (!std::isfinite(centre) || !std::isfinite(width) || width < 1)
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("Not a valid window: centre %1, width %2").arg(centre).arg(width));
    setText(0x0028, 0x1050, decimalText(centre));
    setText(0x0028, 0x1051, decimalText(width));
    // An explanation per window would no longer match a single window.
    remove(0x0028, 0x1055);
}

QString decimalText(double value)
{
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number(static_cast<qint64>(value));
    for (int precision = 10; precision > 1; --precision) {
        const QString s = QString::number(value, 'g', precision);
        if (s.size() <= 16)
            return s;
    }
    return QString::number(value, 'g', 1);
}

// --- listing -------------------------------------------------------------------------------------

std::vector<ElementInfo> Image::elements() const
{
    std::vector<ElementInfo> out;
    DcmDataset &dataset = *m_ff->getDataset();
    for (DcmItem *item : {static_cast<DcmItem *>(m_ff->getMetaInfo()), static_cast<DcmItem *>(&dataset)}) {
        for (unsigned long i = 0; i < item->card(); ++i) {
            DcmElement *el = item->getElement(i);
            if (!el)
                continue;
            DcmTag tag = el->getTag();
            ElementInfo info;
            info.group = tag.getGroup();
            info.element = tag.getElement();
            info.tag = tagText(info.group, info.element);
            info.vr = QString::fromLatin1(DcmVR(el->ident()).getVRName());
            const char *name = tag.getTagName();
            if (name && QByteArray(name) != DcmTag_ERROR_TagName)
                info.name = QString::fromLatin1(name);
            info.value = elementText(el, dataset).value_or(QString());
            info.isList = isSequence(el) || (!isBinaryVr(el->ident()) && el->getLength() > 0 && el->getVM() > 1);
            out.push_back(std::move(info));
        }
    }
    return out;
}
} // namespace dicom
