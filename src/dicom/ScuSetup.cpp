#include "dicom/ScuSetup.h"
#include "core/AppError.h"
#include "dicom/Network.h"
#include "dicom/TlsLayer.h"

namespace dicom {

QString openScu(DcmSCU &scu, std::unique_ptr<DcmTransportLayer> &tls, const StoreSender::Peer &peer,
                const StoreSender::Timeouts &timeouts, const char *sopClass)
{
    scu.setAETitle(peer.ownAet.toLatin1().constData());
    scu.setPeerAETitle(peer.calledAet.trimmed().toLatin1().constData());
    scu.setPeerHostName(peer.ip.trimmed().toLatin1().constData());
    scu.setPeerPort(static_cast<Uint16>(StoreSender::portNumber(peer.port.trimmed())));
    scu.setConnectionTimeout(timeouts.connectSeconds);
    scu.setACSETimeout(static_cast<Uint32>(timeouts.acseSeconds));
    scu.setDIMSETimeout(static_cast<Uint32>(timeouts.dimseSeconds));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    OFList<OFString> ts;
    ts.push_back(UID_LittleEndianExplicitTransferSyntax);
    ts.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(sopClass, ts);
    prepareNetwork();
    OFCondition c = scu.initNetwork();
    if (c.good()) {
        try {
            tls = secureScu(scu, peer.tls);
        } catch (const AppError &e) {
            return QStringLiteral("No association with %1 at %2:%3: %4")
                .arg(peer.calledAet, peer.ip, peer.port, e.description());
        }
    }
    if (c.good())
        c = scu.negotiateAssociation();
    if (c.good())
        return {};
    return QStringLiteral("No association with %1 at %2:%3: %4")
        .arg(peer.calledAet, peer.ip, peer.port, associationProblem(c));
}

} // namespace dicom
