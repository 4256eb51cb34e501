#include "dicom/Uid.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace dicom {

QString newUid()
{
    char buffer[100] = {};
    dcmGenerateUniqueIdentifier(buffer, SITE_INSTANCE_UID_ROOT);
    return QString::fromLatin1(buffer);
}
} // namespace dicom
