#include "dicom/Codecs.h"
#include "dicom/J2kCodec.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>

#include <mutex>

namespace dicom {

void ensureCodecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        registerJ2kDecoder();
    });
}
} // namespace dicom
