#include "dicom/StoreSender.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "dicom/AuditSubjects.h"
#include "dicom/Codecs.h"
#include "dicom/Network.h"
#include "dicom/TlsLayer.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/scu.h>

#include <QFile>
#include <map>
#include <set>

namespace dicom {

class StoreSender::Scu : public DcmSCU {
public:
    std::unique_ptr<DcmTransportLayer> tls;
};

namespace {

const char *const Uncompressed[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
                                    UID_BigEndianExplicitTransferSyntax};

bool isUncompressed(const OFString &ts)
{
    for (const char *u : Uncompressed)
        if (ts == u)
            return true;
    return false;
}

OFFilename fileName(const QString &path) { return OFFilename(QFile::encodeName(path).constData()); }

// SOP class and transfer syntax from the file's meta header, without its pixel data.
bool peek(const QString &path, OFString &sopClass, OFString &ts)
{
    DcmFileFormat ff;
    if (ff.loadFile(fileName(path), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_metaOnly).bad())
        return false;
    DcmMetaInfo *meta = ff.getMetaInfo();
    if (!meta || meta->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass).bad() || sopClass.empty()
        || meta->findAndGetOFString(DCM_TransferSyntaxUID, ts).bad() || ts.empty())
        return false;
    return true;
}

QString conditionText(const OFCondition &c) { return QString::fromLatin1(c.text()); }

} // namespace

StoreSender::StoreSender(Peer peer, Timeouts timeouts) : m_peer(std::move(peer)), m_timeouts(timeouts) {}
StoreSender::StoreSender(Peer peer) : StoreSender(std::move(peer), Timeouts()) {}

StoreSender::~StoreSender() { close(); }

bool StoreSender::isStored(quint16 status)
{
    return status == 0x0000 || status == 0xB000 || status == 0xB006 || status == 0xB007;
}

int StoreSender::portNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return 0;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    const int port = text.toInt();
    return port >= 1 && port <= 65535 ? port : 0;
}

bool StoreSender::isOpen() const { return m_scu && m_scu->isConnected() && !m_broken; }

void StoreSender::open(const QStringList &files)
{
    close();
    ensureCodecs();
    const int port = portNumber(m_peer.port.trimmed());
    if (port == 0)
        throw AppError(ErrorNo::Network, QStringLiteral("Not a valid port: \"%1\"").arg(m_peer.port));
    if (m_peer.ip.trimmed().isEmpty() || m_peer.calledAet.trimmed().isEmpty())
        throw AppError(ErrorNo::Network, QStringLiteral("The destination has no address or AE title"));

    // The kinds of object about to go: SOP class with the transfer syntaxes its files have.
    std::map<OFString, std::set<OFString>> kinds;
    for (const QString &f : files) {
        OFString sop, ts;
        if (peek(f, sop, ts))
            kinds[sop].insert(ts);
    }

    auto scu = std::make_unique<Scu>();
    scu->setAETitle(m_peer.ownAet.toLatin1().constData());
    scu->setPeerAETitle(m_peer.calledAet.trimmed().toLatin1().constData());
    scu->setPeerHostName(m_peer.ip.trimmed().toLatin1().constData());
    scu->setPeerPort(static_cast<Uint16>(port));
    scu->setConnectionTimeout(m_timeouts.connectSeconds);
    scu->setACSETimeout(static_cast<Uint32>(m_timeouts.acseSeconds));
    scu->setDIMSETimeout(static_cast<Uint32>(m_timeouts.dimseSeconds));
    scu->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu->setMaxReceivePDULength(ASC_DEFAULTMAXPDU);

    int contexts = 0;
    auto add = [&](const OFString &sop, const OFList<OFString> &ts) {
        // An association holds at most 128 presentation contexts.
        if (++contexts > 128)
            throw AppError(ErrorNo::Network, QStringLiteral("Too many kinds of images for one association"));
        scu->addPresentationContext(sop, ts);
    };
    for (const auto &[sop, syntaxes] : kinds) {
        for (const OFString &ts : syntaxes)
            if (!isUncompressed(ts)) {
                OFList<OFString> one;
                one.push_back(ts);
                add(sop, one);
            }
        OFList<OFString> plain;
        // The file's own uncompressed encoding first: it goes unchanged when taken.
        if (syntaxes.count(UID_LittleEndianImplicitTransferSyntax)
            && !syntaxes.count(UID_LittleEndianExplicitTransferSyntax))
            plain.push_back(UID_LittleEndianImplicitTransferSyntax);
        for (const char *u : Uncompressed)
            if (std::find(plain.begin(), plain.end(), OFString(u)) == plain.end())
                plain.push_back(u);
        add(sop, plain);
    }
    OFList<OFString> echo;
    echo.push_back(UID_LittleEndianImplicitTransferSyntax);
    add(UID_VerificationSOPClass, echo);

    prepareNetwork();
    OFCondition c = scu->initNetwork();
    if (c.bad())
        throw AppError(ErrorNo::Network, QStringLiteral("Network set-up failed: %1").arg(conditionText(c)));
    scu->tls = secureScu(*scu, m_peer.tls);
    c = scu->negotiateAssociation();
    if (c.bad())
        throw AppError(ErrorNo::Network, QStringLiteral("No association with %1 at %2:%3: %4")
                                             .arg(m_peer.calledAet, m_peer.ip, m_peer.port, associationProblem(c)));
    m_scu = std::move(scu);
    m_broken = false;
}

StoreSender::FileResult StoreSender::send(const QString &file)
{
    FileResult r;
    if (!isOpen()) {
        r.problem = QStringLiteral("no association");
        return r;
    }
    DcmFileFormat ff;
    OFCondition c = ff.loadFile(fileName(file));
    if (c.bad()) {
        r.problem = QStringLiteral("cannot read %1: %2").arg(file, conditionText(c));
        return r;
    }
    DcmDataset *ds = ff.getDataset();
    OFString sop;
    if (ds->findAndGetOFString(DCM_SOPClassUID, sop).bad() || sop.empty()) {
        r.problem = QStringLiteral("%1 has no SOP class").arg(file);
        return r;
    }
    r.sopClass = QString::fromLatin1(sop.c_str());
    OFString instance;
    if (ds->findAndGetOFString(DCM_SOPInstanceUID, instance).good())
        r.sopInstance = QString::fromLatin1(instance.c_str()).trimmed();
    const E_TransferSyntax own = ds->getOriginalXfer();
    T_ASC_PresentationContextID pc = m_scu->findPresentationContextID(sop, DcmXfer(own).getXferID());
    if (pc == 0) {
        // Not taken as it is: in an uncompressed encoding the peer accepted.
        for (const char *u : Uncompressed) {
            pc = m_scu->findPresentationContextID(sop, u);
            if (pc == 0)
                continue;
            const E_TransferSyntax target = DcmXfer(u).getXfer();
            if (ds->chooseRepresentation(target, nullptr).bad() || !ds->canWriteXfer(target)) {
                r.problem = QStringLiteral("%1 cannot be sent decompressed").arg(file);
                return r;
            }
            break;
        }
    }
    if (pc == 0) {
        r.problem = QStringLiteral("the destination accepts no presentation context for %1")
                        .arg(QString::fromLatin1(sop.c_str()));
        return r;
    }
    m_scu->setDatasetConversionMode(OFTrue);
    Uint16 status = 0;
    c = m_scu->sendSTORERequest(pc, OFFilename(), ds, status);
    if (c.bad()) {
        // No answer (time-out, connection lost): the association is of no further use.
        m_broken = true;
        r.problem = QStringLiteral("no answer: %1").arg(conditionText(c));
        return r;
    }
    r.answered = true;
    r.status = status;
    r.sent = isStored(status);
    if (r.sent && Audit::active()) {
        try {
            m_sent.append(readFileFacts(file));
        } catch (const AppError &) {
            FileFacts f;
            f.sopUid = r.sopInstance;
            f.sopClassUid = r.sopClass;
            m_sent.append(f);
        }
    }
    if (status != 0)
        r.problem =
            QStringLiteral("status ") + QString::number(status, 16).rightJustified(4, QLatin1Char('0')).toUpper();
    return r;
}

void StoreSender::close()
{
    // What this association delivered, one audit message per patient.
    for (const AuditSubject &s : auditSubjects(m_sent))
        Audit::log(AuditEvent::instancesSent(Audit::station(), {m_peer.calledAet.trimmed(), m_peer.ip.trimmed()}, s));
    m_sent.clear();
    if (!m_scu)
        return;
    if (m_scu->isConnected()) {
        if (m_broken)
            m_scu->abortAssociation();
        else if (m_scu->releaseAssociation().bad())
            m_scu->abortAssociation();
    }
    m_scu.reset();
    m_broken = false;
}
} // namespace dicom
