#include "dicom/SrDocument.h"
#include "core/AppError.h"
#include "dicom/Image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmsr/dsrdoc.h>

namespace dicom {

namespace {

// The content item attributes read back.
constexpr quint16 SrGroup = 0x0040;
constexpr quint16 RelationshipType = 0xA010;
constexpr quint16 ValueType = 0xA040;
constexpr quint16 ConceptNameCodes = 0xA043;
constexpr quint16 ContentSequence = 0xA730;
constexpr quint16 TextValue = 0xA160;
constexpr quint16 DateTimeValue = 0xA120;
constexpr quint16 UidValue = 0xA124;
constexpr quint16 ConceptCodes = 0xA168;
constexpr quint16 MeasuredValues = 0xA300;
constexpr quint16 NumericValue = 0xA30A;
constexpr quint16 UnitsCodes = 0x08EA;
constexpr quint16 QualifierCodes = 0xA301;
constexpr quint16 TemplateSequence = 0xA504;
constexpr quint16 TemplateIdentifier = 0xDB00;

OFString of(const QString &s) { return OFString(s.toUtf8().constData()); }

DSRCodedEntryValue coded(const SrCode &c)
{
    return DSRCodedEntryValue(of(c.value), of(c.scheme), of(c.meaning), DSRTypes::CVT_auto, OFFalse);
}

QString codeText(const SrCode &c) { return QStringLiteral("(%1, %2, \"%3\")").arg(c.value, c.scheme, c.meaning); }

[[noreturn]] void refuse(const SrItem &item, const QString &what, const OFCondition &c)
{
    throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write the report: %1 %2: %3")
                                       .arg(what, codeText(item.name), QString::fromLatin1(c.text())));
}

DSRTypes::E_RelationshipType relation(SrItem::Relation r)
{
    switch (r) {
    case SrItem::Relation::Root:
        return DSRTypes::RT_isRoot;
    case SrItem::Relation::Contains:
        return DSRTypes::RT_contains;
    case SrItem::Relation::HasObsContext:
        return DSRTypes::RT_hasObsContext;
    case SrItem::Relation::HasConceptMod:
        return DSRTypes::RT_hasConceptMod;
    case SrItem::Relation::HasProperties:
        return DSRTypes::RT_hasProperties;
    }
    return DSRTypes::RT_invalid;
}

DSRTypes::E_ValueType valueType(SrItem::Type t)
{
    switch (t) {
    case SrItem::Type::Container:
        return DSRTypes::VT_Container;
    case SrItem::Type::Code:
        return DSRTypes::VT_Code;
    case SrItem::Type::Num:
        return DSRTypes::VT_Num;
    case SrItem::Type::Text:
        return DSRTypes::VT_Text;
    case SrItem::Type::DateTime:
        return DSRTypes::VT_DateTime;
    case SrItem::Type::UidRef:
        return DSRTypes::VT_UIDRef;
    }
    return DSRTypes::VT_invalid;
}

void setValue(DSRContentItem &ci, const SrItem &item)
{
    OFCondition c = EC_Normal;
    switch (item.type) {
    case SrItem::Type::Container:
        return;
    case SrItem::Type::Code:
        c = ci.setCodeValue(coded(item.code));
        break;
    case SrItem::Type::Num:
        if (item.text.isEmpty())
            c = ci.setNumericValue(DSRNumericMeasurementValue(coded(item.qualifier)));
        else
            c = ci.setNumericValue(DSRNumericMeasurementValue(of(item.text), coded(item.code)));
        break;
    case SrItem::Type::Text:
    case SrItem::Type::DateTime:
    case SrItem::Type::UidRef:
        c = ci.setStringValue(of(item.text));
        break;
    }
    if (c.bad())
        refuse(item, QStringLiteral("the value \"%1\" of").arg(item.text.isEmpty() ? item.code.value : item.text), c);
}

void addChildren(DSRDocumentTree &tree, const SrItem &parent)
{
    bool first = true;
    for (const SrItem &child : parent.children) {
        const OFCondition c =
            first ? tree.addChildContentItem(relation(child.relation), valueType(child.type), coded(child.name))
                  : tree.addContentItem(relation(child.relation), valueType(child.type), coded(child.name));
        if (c.bad())
            refuse(child, QStringLiteral("the item"), c);
        setValue(tree.getCurrentContentItem(), child);
        if (!child.children.empty()) {
            addChildren(tree, child);
            tree.goUp();
        }
        first = false;
    }
}

SrCode codeOf(const DataSet *item)
{
    if (!item)
        return {};
    return {item->value(0x0008, 0x0100).value_or(QString()), item->value(0x0008, 0x0102).value_or(QString()),
            item->value(0x0008, 0x0104).value_or(QString())};
}

SrCode firstCode(const DataSet &ds, quint16 group, quint16 element)
{
    const std::vector<DataSet> *items = ds.sequence(group, element);
    return items && !items->empty() ? codeOf(&items->front()) : SrCode();
}

SrItem::Type typeOf(const QString &vt)
{
    if (vt == QLatin1String("CODE"))
        return SrItem::Type::Code;
    if (vt == QLatin1String("NUM"))
        return SrItem::Type::Num;
    if (vt == QLatin1String("TEXT"))
        return SrItem::Type::Text;
    if (vt == QLatin1String("DATETIME"))
        return SrItem::Type::DateTime;
    if (vt == QLatin1String("UIDREF"))
        return SrItem::Type::UidRef;
    return SrItem::Type::Container;
}

SrItem::Relation relationOf(const QString &rt)
{
    if (rt == QLatin1String("HAS OBS CONTEXT"))
        return SrItem::Relation::HasObsContext;
    if (rt == QLatin1String("HAS CONCEPT MOD"))
        return SrItem::Relation::HasConceptMod;
    if (rt == QLatin1String("HAS PROPERTIES"))
        return SrItem::Relation::HasProperties;
    return SrItem::Relation::Contains;
}

void readChildren(const DataSet &ds, SrItem &into)
{
    const std::vector<DataSet> *items = ds.sequence(SrGroup, ContentSequence);
    if (!items)
        return;
    for (const DataSet &it : *items) {
        SrItem item;
        item.type = typeOf(it.value(SrGroup, ValueType).value_or(QString()));
        item.relation = relationOf(it.value(SrGroup, RelationshipType).value_or(QString()));
        item.name = firstCode(it, SrGroup, ConceptNameCodes);
        switch (item.type) {
        case SrItem::Type::Code:
            item.code = firstCode(it, SrGroup, ConceptCodes);
            break;
        case SrItem::Type::Num:
            if (const std::vector<DataSet> *mv = it.sequence(SrGroup, MeasuredValues); mv && !mv->empty()) {
                item.text = mv->front().value(SrGroup, NumericValue).value_or(QString()).trimmed();
                item.code = firstCode(mv->front(), SrGroup, UnitsCodes);
            }
            item.qualifier = firstCode(it, SrGroup, QualifierCodes);
            break;
        case SrItem::Type::Text:
            item.text = it.value(SrGroup, TextValue).value_or(QString());
            break;
        case SrItem::Type::DateTime:
            item.text = it.value(SrGroup, DateTimeValue).value_or(QString());
            break;
        case SrItem::Type::UidRef:
            item.text = it.value(SrGroup, UidValue).value_or(QString());
            break;
        case SrItem::Type::Container:
            break;
        }
        readChildren(it, item);
        into.children.push_back(std::move(item));
    }
}

} // namespace

const SrItem *SrItem::child(const SrCode &name) const
{
    for (const SrItem &c : children)
        if (c.name.is(name))
            return &c;
    return nullptr;
}

std::vector<const SrItem *> SrItem::childrenNamed(const SrCode &name) const
{
    std::vector<const SrItem *> out;
    for (const SrItem &c : children)
        if (c.name.is(name))
            out.push_back(&c);
    return out;
}

void writeDoseSr(const SrDocument &doc, const QString &path)
{
    DSRDocument sr(DSRTypes::DT_XRayRadiationDoseSR);
    const QString studyUid = doc.attributes.value(0x0020, 0x000D).value_or(QString());
    if (sr.createNewSeriesInStudy(of(studyUid)).bad())
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write the report: no valid Study Instance UID"));
    sr.setSpecificCharacterSetType(DSRTypes::CS_UTF8);
    // Type 1 in the equipment module; the attributes below give the real values.
    for (auto [setter, element] : {std::pair{&DSRDocument::setManufacturer, quint16(0x0070)},
                                   std::pair{&DSRDocument::setManufacturerModelName, quint16(0x1090)}})
        (sr.*setter)(of(doc.attributes.value(0x0008, element).value_or(QStringLiteral("-"))), OFFalse);
    sr.setDeviceSerialNumber(of(doc.attributes.value(0x0018, 0x1000).value_or(QStringLiteral("-"))), OFFalse);
    sr.setSoftwareVersions(of(doc.attributes.value(0x0018, 0x1020).value_or(QStringLiteral("-"))), OFFalse);

    DSRDocumentTree &tree = sr.getTree();
    if (tree.addContentItem(DSRTypes::RT_isRoot, DSRTypes::VT_Container, coded(doc.root.name)).bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write the report: the root %1 is refused").arg(codeText(doc.root.name)));
    if (!doc.templateId.isEmpty()
        && tree.getCurrentContentItem().setTemplateIdentification(of(doc.templateId), of(doc.mappingResource)).bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write the report: template %1 is refused").arg(doc.templateId));
    addChildren(tree, doc.root);
    // The station makes the report from what it captured, complete and unverified.
    if (sr.completeDocument().bad())
        throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot write the report: it cannot be completed"));

    auto ff = std::make_unique<DcmFileFormat>();
    const OFCondition written = sr.write(*ff->getDataset());
    if (written.bad())
        throw AppError(ErrorNo::Dicom,
                       QStringLiteral("Cannot write the report: %1").arg(QString::fromLatin1(written.text())));
    std::unique_ptr<Image> img = Image::fromFileFormat(std::move(ff));
    // What the toolkit cannot be told (its own UIDs, the predecessor) is set afterwards.
    for (const DataSet::Element &e : doc.attributes.elements()) {
        // An empty value stays as an empty element: the patient's and the study's
        // attributes must be present even when nothing is known.
        if (e.isSequence)
            img->setSequence(e.group, e.element, e.items);
        else
            img->setText(e.group, e.element, e.text);
    }
    img->setSopClass(XRayRadiationDoseSrClass);
    img->writeFile(path);
}

SrDocument readSr(const QString &path)
{
    std::unique_ptr<Image> img = Image::readFile(path);
    SrDocument doc;
    if (img->value(SrGroup, ValueType).value_or(QString()) != QLatin1String("CONTAINER"))
        throw AppError(ErrorNo::Dicom, QStringLiteral("%1 is no structured report").arg(path));
    for (const ElementInfo &e : img->elements()) {
        if (e.group == 0x0002 || (e.group == SrGroup && e.element == ContentSequence) || e.isList)
            continue;
        if (!e.value.isEmpty())
            doc.attributes.set(e.group, e.element, e.value);
    }
    for (quint16 element : {ConceptNameCodes, TemplateSequence, quint16(0xA360)})
        if (auto items = img->sequence(SrGroup, element))
            doc.attributes.setSequence(SrGroup, element, *items);
    doc.root.type = SrItem::Type::Container;
    doc.root.relation = SrItem::Relation::Root;
    doc.root.name = firstCode(doc.attributes, SrGroup, ConceptNameCodes);
    if (const std::vector<DataSet> *t = doc.attributes.sequence(SrGroup, TemplateSequence); t && !t->empty()) {
        doc.templateId = t->front().value(SrGroup, TemplateIdentifier).value_or(QString());
        doc.mappingResource = t->front().value(0x0008, 0x0105).value_or(QString());
    }
    if (auto content = img->sequence(SrGroup, ContentSequence)) {
        DataSet top;
        top.setSequence(SrGroup, ContentSequence, *content);
        readChildren(top, doc.root);
    }
    return doc;
}

} // namespace dicom
