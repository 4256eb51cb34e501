#include "dicom/Uid.h"

#include <QByteArray>
#include <algorithm>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace dicom {

QString newUid()
{
    char buffer[100] = {};
    dcmGenerateUniqueIdentifier(buffer, SITE_INSTANCE_UID_ROOT);
    return QString::fromLatin1(buffer);
}
QString uidOfUuid(const QUuid &uuid)
{
    // By long division of the 16 bytes, most significant first.
    QByteArray n = uuid.toRfc4122();
    QString digits;
    while (std::any_of(n.cbegin(), n.cend(), [](char c) { return c != 0; })) {
        int rest = 0;
        for (char &c : n) {
            const int cur = rest * 256 + static_cast<unsigned char>(c);
            c = char(cur / 10);
            rest = cur % 10;
        }
        digits.prepend(QChar(u'0' + rest));
    }
    return QStringLiteral("2.25.") + (digits.isEmpty() ? QStringLiteral("0") : digits);
}
} // namespace dicom
