#include "dicom/ValueCheck.h"
#include "dicom/Image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcvrda.h>
#include <dcmtk/dcmdata/dcvrds.h>
#include <dcmtk/dcmdata/dcvrdt.h>
#include <dcmtk/dcmdata/dcvris.h>
#include <dcmtk/dcmdata/dcvrtm.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcvras.h>

#include <QStringList>
#include <cmath>

namespace dicom {

QString vrOf(const Image &image, quint16 group, quint16 element)
{
    auto &ff = const_cast<DcmFileFormat &>(image.fileFormat());
    DcmItem *item = group == 0x0002 ? static_cast<DcmItem *>(ff.getMetaInfo()) : static_cast<DcmItem *>(ff.getDataset());
    DcmElement *el = nullptr;
    if (item->findAndGetElement(DcmTagKey(group, element), el, OFFalse).good() && el)
        return QString::fromLatin1(DcmVR(el->ident()).getVRName());
    const DcmTag tag(group, element);
    const DcmEVR vr = tag.getEVR();
    if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B || vr == EVR_UN)
        return {};
    return QString::fromLatin1(DcmVR(vr).getVRName());
}

namespace {

bool allNumbers(const QString &text, bool integral, double lo, double hi)
{
    for (const QString &v : text.split(QLatin1Char('\\'))) {
        const QString t = v.trimmed();
        if (t.isEmpty())
            continue;
        bool ok = false;
        const double d = integral ? double(t.toLongLong(&ok)) : t.toDouble(&ok);
        if (!ok || !std::isfinite(d) || d < lo || d > hi)
            return false;
    }
    return true;
}

} // namespace

QString valueProblem(const QString &vr, const QString &text)
{
    if (text.isEmpty())
        return {};
    const OFString value(text.toLatin1().constData());
    OFCondition c = EC_Normal;
    if (vr == QLatin1String("UI"))
        c = DcmUniqueIdentifier::checkStringValue(value, "1-n");
    else if (vr == QLatin1String("DA"))
        c = DcmDate::checkStringValue(value, "1-n", OFFalse);
    else if (vr == QLatin1String("TM"))
        c = DcmTime::checkStringValue(value, "1-n", OFFalse);
    else if (vr == QLatin1String("DT"))
        c = DcmDateTime::checkStringValue(value, "1-n");
    else if (vr == QLatin1String("DS"))
        c = DcmDecimalString::checkStringValue(value, "1-n");
    else if (vr == QLatin1String("IS"))
        c = DcmIntegerString::checkStringValue(value, "1-n");
    else if (vr == QLatin1String("AS"))
        c = DcmAgeString::checkStringValue(value, "1-n");
    else if (vr == QLatin1String("US"))
        return allNumbers(text, true, 0, 65535) ? QString() : QStringLiteral("not a number from 0 to 65535");
    else if (vr == QLatin1String("SS"))
        return allNumbers(text, true, -32768, 32767) ? QString() : QStringLiteral("not a number from -32768 to 32767");
    else if (vr == QLatin1String("UL"))
        return allNumbers(text, true, 0, 4294967295.0) ? QString() : QStringLiteral("not a whole number of 0 or more");
    else if (vr == QLatin1String("SL"))
        return allNumbers(text, true, -2147483648.0, 2147483647.0) ? QString() : QStringLiteral("not a whole number");
    else if (vr == QLatin1String("FL") || vr == QLatin1String("FD"))
        return allNumbers(text, false, -1e308, 1e308) ? QString() : QStringLiteral("not a number");
    else if (vr == QLatin1String("SQ"))
        return QStringLiteral("a sequence takes no text");
    else if (vr.startsWith(QLatin1Char('O')) || vr == QLatin1String("UN"))
        return QStringLiteral("binary data takes no text");
    if (c.good())
        return {};
    if (vr == QLatin1String("UI"))
        return QStringLiteral("not a UID (digits and dots, at most 64 characters)");
    if (vr == QLatin1String("DA"))
        return QStringLiteral("not a date (YYYYMMDD)");
    if (vr == QLatin1String("TM"))
        return QStringLiteral("not a time (HHMMSS)");
    return QStringLiteral("does not fit %1").arg(vr);
}
}
