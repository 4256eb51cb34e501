#include "dicom/Dictionary.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>

#include <QStringList>
#include <algorithm>

namespace dicom {

std::vector<DictionaryEntry> standardDictionary()
{
    std::vector<DictionaryEntry> out;
    DcmDataDictionary &dict = const_cast<DcmDataDictionary &>(dcmDataDict.rdlock());
    for (auto it = dict.normalBegin(); it != dict.normalEnd(); ++it) {
        const DcmDictEntry *e = *it;
        if (!e || e->getPrivateCreator() != nullptr || e->getGroup() % 2 == 1 || e->getElement() == 0x0000)
            continue;
        if (e->getGroup() == 0xFFFE || e->getGroup() == 0x0000 || e->getGroup() == 0x0002)
            continue;
        DictionaryEntry d;
        d.tag = tagText(e->getGroup(), e->getElement());
        d.vr = QString::fromLatin1(DcmVR(e->getEVR()).getValidVRName());
        d.name = QString::fromLatin1(e->getTagName());
        const char *std = e->getStandardVersion();
        d.retired = std && QByteArray(std).contains("RET");
        out.push_back(std::move(d));
    }
    dcmDataDict.rdunlock();
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.tag < b.tag; });
    return out;
}

QString tagText(quint16 group, quint16 element)
{
    return QStringLiteral("%1,%2").arg(group, 4, 16, QLatin1Char('0')).arg(element, 4, 16, QLatin1Char('0')).toUpper();
}

bool parseTagText(const QString &text, quint16 *group, quint16 *element)
{
    QString t = text.trimmed();
    if (t.startsWith(QLatin1Char('(')) && t.endsWith(QLatin1Char(')')))
        t = t.mid(1, t.size() - 2);
    const QStringList parts = t.split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    bool ok1 = false, ok2 = false;
    const uint g = parts[0].trimmed().toUInt(&ok1, 16);
    const uint e = parts[1].trimmed().toUInt(&ok2, 16);
    if (!ok1 || !ok2 || g > 0xFFFF || e > 0xFFFF || parts[0].trimmed().size() > 4 || parts[1].trimmed().size() > 4)
        return false;
    *group = static_cast<quint16>(g);
    *element = static_cast<quint16>(e);
    return true;
}

} // namespace dicom
