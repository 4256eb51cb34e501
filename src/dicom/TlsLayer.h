#pragma once
// For the associations of this folder only: the toolkit's types stay inside src/dicom.
#include "core/SecuritySettings.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/ofstd/ofcond.h>

#include <QString>
#include <functional>
#include <memory>

class DcmSCU;

namespace dicom {

// The toolkit's TLS layer for the station's associations: TLS 1.2 or newer with the
// cipher suites of the non-downgrading BCP 195 profile, the station's key and
// certificate, the trusted certificates, and a check of the peer's certificate (a caller
// of the receiver must show one when the config asks so). Throws AppError (network) with
// a text naming the file and what is wrong with it: a key readable by others, a
// certificate that does not belong to the key, a missing file, a wrong password.
std::unique_ptr<DcmTransportLayer> makeTlsLayer(const TlsConfig &config, bool acceptor);

// Sets an association up for TLS when the config asks for it. The layer returned must
// outlive the association (keep it beside the SCU); none when the peer is plain. Call
// after the SCU's initNetwork, before negotiateAssociation. Throws AppError as makeTlsLayer.
std::unique_ptr<DcmTransportLayer> secureScu(DcmSCU &scu, const TlsConfig &config);

// Why an association could not be opened: the TLS reason when the handshake failed
// ("TLS: its certificate has expired (CN=...)"), else the toolkit's text.
QString associationProblem(const OFCondition &c);

// Why the last TLS handshake of this thread failed, as the operator reads it after the
// peer's name ("its certificate has expired (CN=pacs.example)"); empty when it did not
// fail or failed for no reason TLS knows.
QString lastTlsProblem();

// Called for each caller a TLS receiver refused: the caller's address and why. From the
// accepting thread; the handler must be safe to call from there.
void setTlsRefusalHandler(std::function<void(const QString &address, const QString &why)> handler);

} // namespace dicom
