#pragma once
// For the senders in this folder only: the toolkit's types stay inside src/dicom.
#include "dicom/StoreSender.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/scu.h>

#include <QString>
#include <memory>

namespace dicom {

// Opens an association to the peer for one SOP class (explicit and implicit little
// endian, the default role), with the station's bounded, non-blocking waits. Returns why
// it could not ("No association with MPPS at 127.0.0.1:104: ..."); empty when open.
// Over TLS when the peer's config asks for it: the layer is kept in tls, which must outlive
// the association (declare it before the SCU).
QString openScu(DcmSCU &scu, std::unique_ptr<DcmTransportLayer> &tls, const StoreSender::Peer &peer,
                const StoreSender::Timeouts &timeouts, const char *sopClass);

} // namespace dicom
