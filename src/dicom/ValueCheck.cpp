#include "dicom/ValueCheck.h"
#include "dicom/Image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcvras.h>
#include <dcmtk/dcmdata/dcvrda.h>
#include <dcmtk/dcmdata/dcvrds.h>
#include <dcmtk/dcmdata/dcvrdt.h>
#include <dcmtk/dcmdata/dcvris.h>
#include <dcmtk/dcmdata/dcvrtm.h>
#include <dcmtk/dcmdata/dcvrui.h>

#include <QStringList>
#include <cmath>

namespace dicom {

QString vrOf(const Image &image, quint16 group, quint16 element)
{
    auto &ff = const_cast<DcmFileFormat &>(image.fileFormat());
    DcmItem *item =
        group == 0x0002 ? static_cast<DcmItem *>(ff.getMetaInfo()) : static_cast<DcmItem *>(ff.getDataset());
    DcmElement *el = nullptr;
    if (item->findAndGetElement(DcmTagKey(group, element), el, OFFalse).good() && el)
        return QString::fromLatin1(DcmVR(el->ident()).getVRName());
    return dictionaryVr(group, element);
}

QString dictionaryVr(quint16 group, quint16 element)
{
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

bool hasControl(const QString &v, bool textLines)
{
    for (QChar c : v) {
        const ushort u = c.unicode();
        if (u == 0x1B) // ESC introduces another character set
            continue;
        if (textLines && (u == '\r' || u == '\n' || u == '\f' || u == '\t'))
            continue;
        if (u < 0x20 || u == 0x7F)
            return true;
    }
    return false;
}

QString personNameProblem(const QString &v)
{
    const QStringList groups = v.split(QLatin1Char('='));
    if (groups.size() > 3)
        return QStringLiteral("a person name has at most three groups (alphabetic=ideographic=phonetic)");
    for (const QString &g : groups) {
        if (g.size() > 64)
            return QStringLiteral("a person name group has at most 64 characters");
        if (g.count(QLatin1Char('^')) > 4)
            return QStringLiteral("a person name has at most five components (family^given^middle^prefix^suffix)");
    }
    if (hasControl(v, false))
        return QStringLiteral("control characters are not allowed in a person name");
    return {};
}

// The rule one value of a text representation breaks; empty when it keeps them.
QString textValueProblem(const QString &vr, const QString &v)
{
    auto longer = [&](int max) {
        return v.size() > max ? QStringLiteral("%1 takes at most %2 characters per value").arg(vr).arg(max) : QString();
    };
    if (vr == QLatin1String("CS")) {
        for (QChar c : v)
            if (!((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                  || c == QLatin1Char(' ') || c == QLatin1Char('_')))
                return QStringLiteral(
                           "CS takes upper case letters, digits, space and underscore only ('%1' is not one)")
                    .arg(c);
        return longer(16);
    }
    if (vr == QLatin1String("AE")) {
        if (hasControl(v, false))
            return QStringLiteral("control characters are not allowed in an AE title");
        if (!v.isEmpty() && v.trimmed().isEmpty())
            return QStringLiteral("an AE title is not only blanks");
        return longer(16);
    }
    if (vr == QLatin1String("PN"))
        return personNameProblem(v);
    if (vr == QLatin1String("SH") || vr == QLatin1String("LO") || vr == QLatin1String("UC")) {
        if (hasControl(v, false))
            return QStringLiteral("control characters are not allowed in %1").arg(vr);
        return vr == QLatin1String("SH") ? longer(16) : vr == QLatin1String("LO") ? longer(64) : QString();
    }
    if (vr == QLatin1String("ST") || vr == QLatin1String("LT") || vr == QLatin1String("UT")) {
        if (hasControl(v, true))
            return QStringLiteral("control characters other than line breaks and tabs are not allowed in %1").arg(vr);
        return vr == QLatin1String("ST") ? longer(1024) : vr == QLatin1String("LT") ? longer(10240) : QString();
    }
    if (vr == QLatin1String("UR")) {
        if (hasControl(v, false) || v.contains(QLatin1Char(' ')))
            return QStringLiteral("a URI has no spaces or control characters");
        return {};
    }
    return {};
}

} // namespace

QString valueProblem(const QString &vr, const QString &text)
{
    if (text.isEmpty())
        return {};
    // One value each: the backslash is part of the text.
    if (vr == QLatin1String("ST") || vr == QLatin1String("LT") || vr == QLatin1String("UT")
        || vr == QLatin1String("UR"))
        return textValueProblem(vr, text);
    if (vr == QLatin1String("CS") || vr == QLatin1String("AE") || vr == QLatin1String("PN") || vr == QLatin1String("SH")
        || vr == QLatin1String("LO") || vr == QLatin1String("UC")) {
        const QStringList values = text.split(QLatin1Char('\\'));
        for (int i = 0; i < values.size(); ++i) {
            const QString why = textValueProblem(vr, values[i]);
            if (!why.isEmpty())
                return values.size() > 1 ? QStringLiteral("value %1: %2").arg(i + 1).arg(why) : why;
        }
        return {};
    }
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
    else if (vr == QLatin1String("xs")) // US or SS, as the pixel representation says
        return allNumbers(text, true, -32768, 65535) ? QString() : QStringLiteral("not a number from -32768 to 65535");
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
    else if (vr.startsWith(QLatin1Char('O')) || vr == QLatin1String("UN") || vr == QLatin1String("ox")
             || vr == QLatin1String("px") || vr == QLatin1String("lt"))
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

QString valueProblem(const Image &image, quint16 group, quint16 element, const QString &text)
{
    const QString vr = vrOf(image, group, element);
    if (const QString why = valueProblem(vr, text); !why.isEmpty())
        return why;
    if (text.isEmpty() || vr == QLatin1String("ST") || vr == QLatin1String("LT") || vr == QLatin1String("UT")
        || vr == QLatin1String("UR"))
        return {};
    const DcmDataDictionary &dict = dcmDataDict.rdlock();
    const DcmDictEntry *entry = dict.findEntry(DcmTagKey(group, element), nullptr);
    const int vmMin = entry ? entry->getVMMin() : 1;
    const int vmMax = entry ? entry->getVMMax() : DcmVariableVM;
    dcmDataDict.rdunlock();
    if (!entry)
        return {};
    const int count = int(text.count(QLatin1Char('\\'))) + 1;
    if (count < vmMin || (vmMax != DcmVariableVM && count > vmMax)) {
        const QString takes = vmMax == DcmVariableVM ? QStringLiteral("%1 or more").arg(vmMin)
                              : vmMin == vmMax       ? QString::number(vmMin)
                                                     : QStringLiteral("%1 to %2").arg(vmMin).arg(vmMax);
        return QStringLiteral("the element takes %1 value(s), separated by \"\\\", not %2").arg(takes).arg(count);
    }
    return {};
}
} // namespace dicom
