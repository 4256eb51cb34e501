#include "dicom/StorageReceiver.h"
#include "core/AppError.h"
#include "core/Leftovers.h"
#include "core/StationPaths.h"
#include "dicom/CommitmentWire.h"
#include "dicom/ElementScan.h"
#include "dicom/FileFacts.h"
#include "dicom/Network.h"
#include "dicom/TlsLayer.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scppool.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<quint64> g_counter{0};

// A file's name in its folder is on disk only once the folder is synced.
bool syncFolder(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}
// The receiver being run; the pool builds its workers without arguments.
StorageReceiver *g_owner = nullptr;
std::mutex g_reportMutex;

constexpr Uint32 RequestReadSeconds = 3;
const QString PartPrefix = QStringLiteral(".rcv-");
const QString PartSuffix = QStringLiteral(".part");

qint64 freeBytes(const QString &dir)
{
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(dir).constData(), &st) != 0)
        return -1;
    return static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize);
}

QString latin(const char *text) { return QString::fromLatin1(text).trimmed(); }

} // namespace

// Serves one association at a time; the pool runs several of these side by side.
class StorageReceiver::Scp : public DcmThreadSCP {
protected:
    OFBool checkCalledAETitleAccepted(const OFString &calledAE) override
    {
        if (QString::fromLatin1(calledAE.c_str()).trimmed() == g_owner->config().aeTitle)
            return OFTrue;
        refused(QStringLiteral("called AE title not recognized"));
        return OFFalse;
    }

    OFBool checkCallingAETitleAccepted(const OFString &callingAE) override
    {
        const QStringList &allowed = g_owner->config().callingAeTitles;
        if (allowed.isEmpty() || allowed.contains(QString::fromLatin1(callingAE.c_str()).trimmed()))
            return OFTrue;
        refused(QStringLiteral("calling AE title not recognized"));
        return OFFalse;
    }

    void notifyConnectionTimeout() override {}

    void notifyDIMSEError(const OFCondition &cond) override
    {
        if (cond == DIMSE_NODATAAVAILABLE)
            g_owner->report(QStringLiteral("Dropped the association of %1 (%2): silent for %3 s")
                                .arg(latin(getPeerAETitle().c_str()), latin(getPeerIP().c_str()))
                                .arg(g_owner->config().timeoutSeconds));
    }

    OFCondition handleIncomingCommand(T_DIMSE_Message *msg, const DcmPresentationContextInfo &presInfo) override
    {
        if (msg->CommandField == DIMSE_N_EVENT_REPORT_RQ
            && presInfo.abstractSyntax == OFString(UID_StorageCommitmentPushModelSOPClass)
            && !g_owner->config().commitReportsDir.isEmpty())
            return handleCommitmentReport(msg->msg.NEventReportRQ, presInfo);
        if (msg->CommandField != DIMSE_C_STORE_RQ)
            return DcmThreadSCP::handleIncomingCommand(msg, presInfo); // C-ECHO and the refusals of others

        const StorageReceiver::Config &cfg = g_owner->config();
        T_DIMSE_C_StoreRQ &req = msg->msg.CStoreRQ;
        const QString sopClass = QString::fromLatin1(req.AffectedSOPClassUID);
        const QString sopUid = QString::fromLatin1(req.AffectedSOPInstanceUID);
        QDir().mkpath(cfg.outputDir); // removed by hand meanwhile

        // A nearly full disk: the object is taken in and dropped, and the sender hears at
        // once that the station is out of resources instead of waiting on a stalled write.
        const qint64 free = freeBytes(cfg.outputDir);
        if (free >= 0 && free < cfg.minFreeBytes) {
            OFCondition cond = dropDataSet();
            if (cond.bad())
                return cond;
            problem(QStringLiteral("Refused %1: only %2 MB free in %3, %4 MB kept in reserve")
                        .arg(sopUid)
                        .arg(free / (1024 * 1024))
                        .arg(cfg.outputDir)
                        .arg(cfg.minFreeBytes / (1024 * 1024)));
            return sendSTOREResponse(presInfo.presentationContextID, req, STATUS_STORE_Refused_OutOfResources);
        }

        const QString partName = cfg.outputDir + QLatin1Char('/') + PartPrefix + QString::number(::getpid())
                                 + QLatin1Char('-') + QString::number(++g_counter) + PartSuffix;
        const QByteArray partPath = QFile::encodeName(partName);

        // The data set is taken in whatever the answer is, so the association stays in step.
        QString writeError;
        int dataFd = -1;
        OFCondition cond = receiveToFile(presInfo.presentationContextID, req, partPath, &writeError, &dataFd);
        // On disk before anyone hears Success (a power cut after the answer must not take an
        // object the sender will never send again): the sync runs while the object is checked.
        std::future<int> synced;
        if (dataFd >= 0)
            synced = std::async(std::launch::async, [dataFd] {
                const int err = ::fdatasync(dataFd) == 0 ? 0 : errno;
                ::close(dataFd);
                return err;
            });
        auto syncError = [&synced]() -> QString {
            if (!synced.valid())
                return {};
            const int err = synced.get();
            return err ? QString::fromLocal8Bit(std::strerror(err)) : QString();
        };
        if (cond.bad()) {
            syncError();
            ::unlink(partPath.constData());
            problem(QStringLiteral("Receiving %1 from %2 failed: %3")
                        .arg(sopUid, latin(getPeerAETitle().c_str()), QString::fromLatin1(cond.text())));
            return cond;
        }
        if (!writeError.isEmpty()) {
            syncError();
            // The disk filled up (or refused the file) while the object came in: nothing
            // of it is kept, and the sender hears so as soon as its last byte is in.
            ::unlink(partPath.constData());
            problem(QStringLiteral("Refused %1 from %2: cannot write it to %3: %4")
                        .arg(sopUid, latin(getPeerAETitle().c_str()), cfg.outputDir, writeError));
            return sendSTOREResponse(presInfo.presentationContextID, req, STATUS_STORE_Refused_OutOfResources);
        }

        Uint16 status = STATUS_Success;
        if (!StorageReceiver::sopClasses().contains(sopClass)) {
            status = STATUS_STORE_Refused_SOPClassNotSupported;
            problem(QStringLiteral("Refused %1: storage class %2 is not accepted").arg(sopUid, sopClass));
        } else if (!isValidUid(sopUid)) {
            status = STATUS_STORE_Error_CannotUnderstand;
            problem(QStringLiteral("Refused an object with the invalid SOP Instance UID '%1'").arg(sopUid.left(80)));
        } else if (const QString why = objectProblem(partName, sopUid); !why.isEmpty()) {
            status = STATUS_STORE_Error_CannotUnderstand;
            problem(QStringLiteral("Refused %1 from %2: %3").arg(sopUid, latin(getPeerAETitle().c_str()), why));
        } else if (const QString why = syncError(); !why.isEmpty()) {
            status = STATUS_STORE_Refused_OutOfResources;
            problem(QStringLiteral("Cannot write %1 to %2: %3").arg(sopUid, cfg.outputDir, why));
        } else {
            // Read while the file is ours: once it has its final name the data manager may
            // take it away at any moment.
            FileFacts facts;
            try {
                facts = dicom::readFileFacts(partName);
            } catch (const AppError &) {
                facts.sopUid = sopUid;
                facts.sopClassUid = sopClass;
            }
            const QString finalName = cfg.outputDir + QLatin1Char('/') + sopUid + QStringLiteral(".dcm");
            if (std::rename(partPath.constData(), QFile::encodeName(finalName).constData()) != 0) {
                status = STATUS_STORE_Refused_OutOfResources;
                problem(
                    QStringLiteral("Cannot write %1: %2").arg(finalName, QString::fromLocal8Bit(std::strerror(errno))));
            } else if (!syncFolder(cfg.outputDir)) {
                // The name may not be on disk: the sender is told to try again.
                status = STATUS_STORE_Refused_OutOfResources;
                problem(QStringLiteral("Cannot sync %1: %2")
                            .arg(cfg.outputDir, QString::fromLocal8Bit(std::strerror(errno))));
                ::unlink(QFile::encodeName(finalName).constData());
            } else {
                g_owner->stored(finalName);
                m_storedHere << facts;
            }
        }
        syncError(); // a refused object's sync is waited for before its file goes
        if (status != STATUS_Success)
            ::unlink(partPath.constData());
        return sendSTOREResponse(presInfo.presentationContextID, req, status);
    }

    // A sender's offer that none of our transfer syntaxes meets is refused during the
    // negotiation, before any object arrives: the operator finds out why in the log.
    void notifyAssociationRequest(const T_ASC_Parameters &params, DcmSCPActionType &desiredAction) override
    {
        DcmThreadSCP::notifyAssociationRequest(params, desiredAction);
        auto *p = const_cast<T_ASC_Parameters *>(&params);
        const QStringList accepted = StorageReceiver::transferSyntaxes();
        const QStringList classes = StorageReceiver::sopClasses();
        const QString caller = QString::fromLatin1(params.DULparams.callingAPTitle).trimmed();
        const int n = ASC_countPresentationContexts(p);
        for (int i = 0; i < n; ++i) {
            T_ASC_PresentationContext pc;
            if (ASC_getPresentationContext(p, i, &pc).bad()
                || !classes.contains(QString::fromLatin1(pc.abstractSyntax)))
                continue;
            bool met = false;
            for (int t = 0; t < pc.transferSyntaxCount && !met; ++t)
                met = accepted.contains(QString::fromLatin1(pc.proposedTransferSyntaxes[t]));
            if (met)
                continue;
            for (int t = 0; t < pc.transferSyntaxCount; ++t) {
                const char *uid = pc.proposedTransferSyntaxes[t];
                const char *name = dcmFindNameOfUID(uid, nullptr);
                problem(QStringLiteral("Refused transfer syntax %1 (%2) offered by %3")
                            .arg(name ? QString::fromLatin1(name) : QStringLiteral("unknown"), QString::fromLatin1(uid),
                                 caller));
            }
        }
    }

public:
    // The association is kept at hand for taking in data sets with our own checks.
    OFCondition run(T_ASC_Association *assoc) override
    {
        m_assoc = assoc;
        m_storedHere.clear();
        const QString caller = latin(assoc->params->DULparams.callingAPTitle);
        const QString address = latin(assoc->params->DULparams.callingPresentationAddress);
        OFCondition cond = DcmThreadSCP::run(assoc);
        m_assoc = nullptr;
        if (!m_storedHere.isEmpty())
            g_owner->associationEnded(caller, address, m_storedHere);
        m_storedHere.clear();
        return cond;
    }

private:
    // An archive's storage commitment report: on disk (synced, under its final name)
    // before the archive hears Success, since it does not send it again. The station
    // applies the file to its data database; the receiver never touches it.
    OFCondition handleCommitmentReport(const T_DIMSE_N_EventReportRQ &rq, const DcmPresentationContextInfo &presInfo)
    {
        const QString dir = g_owner->config().commitReportsDir;
        const QString caller = latin(getPeerAETitle().c_str());
        Uint16 status = STATUS_Success;
        if (rq.DataSetType == DIMSE_DATASET_NULL) {
            status = STATUS_N_InvalidArgumentValue;
            problem(QStringLiteral("A storage commitment report of %1 without data").arg(caller));
        } else {
            DcmDataset *ds = nullptr;
            T_ASC_PresentationContextID id = presInfo.presentationContextID;
            OFCondition cond = DIMSE_receiveDataSetInMemory(m_assoc, getConfig().getDIMSEBlockingMode(),
                                                            static_cast<int>(getConfig().getDIMSETimeout()), &id, &ds,
                                                            nullptr, nullptr);
            std::unique_ptr<DcmDataset> owned(ds);
            if (cond.bad()) {
                problem(QStringLiteral("Receiving a storage commitment report of %1 failed: %2")
                            .arg(caller, QString::fromLatin1(cond.text())));
                return cond;
            }
            std::optional<dicom::CommitmentReport> report = dicom::reportOfDataSet(*owned, rq.EventTypeID);
            if (!report) {
                status = STATUS_N_InvalidArgumentValue;
                problem(QStringLiteral("A storage commitment report of %1 names no transaction").arg(caller));
            } else {
                report->reportedBy = caller;
                const QString why = writeReport(dir, report->toJson());
                if (!why.isEmpty()) {
                    status = STATUS_N_ProcessingFailure;
                    problem(QStringLiteral("Cannot keep the storage commitment report of %1 (transaction %2): %3")
                                .arg(caller, report->transactionUid, why));
                }
            }
        }
        T_DIMSE_Message rsp = dicom::eventReportAnswer(rq, status);
        return sendDIMSEMessage(presInfo.presentationContextID, &rsp, nullptr);
    }

    // Writes a report under a hidden name, syncs it, gives it its final name and syncs
    // the folder. Returns why it failed, empty when the report is on disk.
    static QString writeReport(const QString &dir, const QByteArray &bytes)
    {
        if (!QDir().mkpath(dir))
            return QStringLiteral("cannot create %1").arg(dir);
        const QString stem =
            QStringLiteral("%1-%2-%3").arg(QDateTime::currentMSecsSinceEpoch()).arg(::getpid()).arg(++g_counter);
        const QByteArray part = QFile::encodeName(dir + QLatin1Char('/') + PartPrefix + stem + PartSuffix);
        const QByteArray target = QFile::encodeName(dir + QLatin1Char('/') + stem + QStringLiteral(".json"));
        const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        qint64 done = 0;
        errno = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        const int err = done != bytes.size() ? (errno ? errno : EIO) : ::fsync(fd) != 0 ? errno : 0;
        ::close(fd);
        if (err != 0) {
            ::unlink(part.constData());
            return QString::fromLocal8Bit(std::strerror(err));
        }
        if (std::rename(part.constData(), target.constData()) != 0) {
            const int e = errno;
            ::unlink(part.constData());
            return QString::fromLocal8Bit(std::strerror(e));
        }
        if (!syncFolder(dir))
            return QString::fromLocal8Bit(std::strerror(errno));
        g_owner->reported(QFile::decodeName(target));
        return {};
    }

    // Takes in the data set of a C-STORE request and drops it.
    OFCondition dropDataSet()
    {
        DIC_UL bytes = 0, pdvs = 0;
        return DIMSE_ignoreDataSet(m_assoc, getConfig().getDIMSEBlockingMode(),
                                   static_cast<int>(getConfig().getDIMSETimeout()), &bytes, &pdvs);
    }

    // How far an object has come in, and the write-back started on the way: the disk
    // writes while the object still arrives, so the sync before Success is short.
    struct Arrival {
        unsigned long bytes = 0;
        int fd = -1;
        unsigned long writtenBack = 0;
    };
    static constexpr unsigned long WriteBackStep = 1024 * 1024;

    static void countBytes(void *context, unsigned long byteCount)
    {
        auto *a = static_cast<Arrival *>(context);
        a->bytes = byteCount;
#ifdef __linux__
        if (a->fd >= 0 && byteCount - a->writtenBack >= WriteBackStep) {
            // What was started a step ago is waited for (it is on disk by now as a rule),
            // and what came since is started: the sync at the end finds little left.
            if (a->writtenBack > 0)
                ::sync_file_range(a->fd, 0, off64_t(a->writtenBack), SYNC_FILE_RANGE_WAIT_BEFORE);
            ::sync_file_range(a->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            a->writtenBack = byteCount;
        }
#endif
    }

    // Takes in the data set of a C-STORE request, as it comes, into `path` (with a meta
    // header). A bad condition means the association is broken. When the data set was taken
    // in but could not be written whole (disk full, file too large), *writeError says why:
    // the rest of the data set is still read, so the association stays in step.
    OFCondition receiveToFile(T_ASC_PresentationContextID presId, T_DIMSE_C_StoreRQ &req, const QByteArray &path,
                              QString *writeError, int *syncFd)
    {
        const T_DIMSE_BlockingMode blocking = getConfig().getDIMSEBlockingMode();
        const int timeout = static_cast<int>(getConfig().getDIMSETimeout());
        DcmOutputFileStream *stream = nullptr;
        errno = 0;
        OFCondition cond = DIMSE_createFilestream(OFFilename(path.constData()), &req, m_assoc, presId, OFTrue, &stream);
        if (cond.bad() || !stream || !stream->good()) {
            const int err = errno;
            *writeError = stream && stream->status().bad() ? QString::fromLocal8Bit(stream->status().text())
                          : err                            ? QString::fromLocal8Bit(std::strerror(err))
                                                           : QString::fromLatin1(cond.text());
            delete stream;
            return dropDataSet();
        }
        const offile_off_t metaBytes = stream->tell();
        Arrival arrival;
        arrival.fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        T_ASC_PresentationContextID dataPresId = presId;
        cond = DIMSE_receiveDataSetInFile(m_assoc, blocking, timeout, &dataPresId, stream, &Scp::countBytes, &arrival);
        const unsigned long dataBytes = arrival.bytes;
        if (cond.good()) {
            stream->flush();
            if (stream->status().bad())
                *writeError = QString::fromLocal8Bit(stream->status().text());
        } else if (cond.module() == OFM_dcmnet && cond.code() == DIMSEC_OUTOFRESOURCES) {
            // The rest of the data set was read and dropped: the peer is still in step.
            *writeError = stream->status().bad() ? QString::fromLocal8Bit(stream->status().text())
                                                 : QString::fromLatin1(cond.text());
            cond = EC_Normal;
        }
        delete stream; // closes the file
        // The caller syncs what was written through this descriptor.
        *syncFd = arrival.fd;
        if (cond.bad())
            return cond;
        if (dataPresId != presId)
            return DIMSE_RECEIVEFAILED;
        // The last block is written when the file is closed, where a full disk goes
        // unreported: the size on disk tells.
        if (writeError->isEmpty()) {
            struct stat st {};
            const qint64 expected = static_cast<qint64>(metaBytes) + static_cast<qint64>(dataBytes);
            if (::stat(path.constData(), &st) != 0 || static_cast<qint64>(st.st_size) != expected)
                *writeError =
                    QStringLiteral("%1 of %2 bytes written").arg(static_cast<qint64>(st.st_size)).arg(expected);
        }
        return EC_Normal;
    }

    T_ASC_Association *m_assoc = nullptr;
    QList<FileFacts> m_storedHere; // the objects stored in this association

    // Why a received object cannot be filed, empty when it can: the same checks the data
    // manager makes, made before the sender is told Success.
    static QString objectProblem(const QString &file, const QString &sopUid)
    {
        const QString scan = dicom::scanElementStream(file);
        if (!scan.isEmpty())
            return scan;
        FileFacts f;
        try {
            f = dicom::readFileFacts(file);
        } catch (const AppError &e) {
            return e.description();
        }
        if (!isValidUid(f.studyUid))
            return QStringLiteral("invalid Study Instance UID '%1'").arg(f.studyUid.left(80));
        if (!isValidUid(f.seriesUid))
            return QStringLiteral("invalid Series Instance UID '%1'").arg(f.seriesUid.left(80));
        if (f.sopUid != sopUid)
            return QStringLiteral("SOP Instance UID '%1' differs from the request's").arg(f.sopUid.left(80));
        return {};
    }

    void refused(const QString &why)
    {
        g_owner->report(QStringLiteral("Refused an association from %1 (calling %2, called %3): %4")
                            .arg(latin(getPeerIP().c_str()), latin(getPeerAETitle().c_str()),
                                 latin(getCalledAETitle().c_str()), why));
    }

    void problem(const QString &text) { g_owner->report(text); }
};

StorageReceiver::StorageReceiver(Config config) : m_config(std::move(config)) {}
StorageReceiver::~StorageReceiver() = default;

void StorageReceiver::requestStop() { g_stop.store(true); }
bool StorageReceiver::stopRequested() { return g_stop.load(); }

QStringList StorageReceiver::sopClasses()
{
    static const QStringList list = {
        QStringLiteral(UID_DigitalMammographyXRayImageStorageForPresentation),
        QStringLiteral(UID_DigitalMammographyXRayImageStorageForProcessing),
        QStringLiteral(UID_BreastTomosynthesisImageStorage),
        QStringLiteral(UID_BreastProjectionXRayImageStorageForPresentation),
        QStringLiteral(UID_BreastProjectionXRayImageStorageForProcessing),
        QStringLiteral(UID_ComputedRadiographyImageStorage),
        QStringLiteral(UID_DigitalXRayImageStorageForPresentation),
        QStringLiteral(UID_DigitalXRayImageStorageForProcessing),
        QStringLiteral(UID_SecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeSingleBitSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage),
        QStringLiteral(UID_MultiframeTrueColorSecondaryCaptureImageStorage),
        QStringLiteral(UID_CTImageStorage),
        QStringLiteral(UID_EnhancedCTImageStorage),
        QStringLiteral(UID_MRImageStorage),
        QStringLiteral(UID_EnhancedMRImageStorage),
        QStringLiteral(UID_UltrasoundImageStorage),
        QStringLiteral(UID_UltrasoundMultiframeImageStorage),
    };
    return list;
}

QStringList StorageReceiver::transferSyntaxes()
{
    static const QStringList list = {
        QStringLiteral(UID_LittleEndianExplicitTransferSyntax),
        QStringLiteral(UID_LittleEndianImplicitTransferSyntax),
        QStringLiteral(UID_BigEndianExplicitTransferSyntax),
        QStringLiteral(UID_JPEGProcess14SV1TransferSyntax),
        QStringLiteral(UID_JPEGProcess14TransferSyntax),
        QStringLiteral(UID_JPEGLSLosslessTransferSyntax),
        QStringLiteral(UID_RLELosslessTransferSyntax),
        QStringLiteral(UID_JPEGProcess1TransferSyntax),
        QStringLiteral(UID_JPEGProcess2_4TransferSyntax),
        QStringLiteral(UID_JPEGLSLossyTransferSyntax),
        // JPEG 2000 is stored as received; the viewer decodes it.
        QStringLiteral(UID_JPEG2000LosslessOnlyTransferSyntax),
        QStringLiteral(UID_JPEG2000TransferSyntax),
    };
    return list;
}

bool StorageReceiver::isPartialName(const QString &fileName)
{
    return fileName.startsWith(PartPrefix) && fileName.endsWith(PartSuffix);
}

int StorageReceiver::removeLeftovers(const QString &outputDir)
{
    // Only those of a receiver that has ended: a second receiver started by mistake must not
    // take the files the running one is writing.
    return Leftovers::removePartials(outputDir, PartPrefix, PartSuffix);
}

void StorageReceiver::report(const QString &problem)
{
    std::lock_guard<std::mutex> lock(g_reportMutex);
    if (onProblem)
        onProblem(problem);
}

void StorageReceiver::associationEnded(const QString &callingAet, const QString &address,
                                       const QList<FileFacts> &objects)
{
    std::lock_guard<std::mutex> lock(g_reportMutex);
    if (onAssociationEnded)
        onAssociationEnded(callingAet, address, objects);
}

void StorageReceiver::reported(const QString &file)
{
    std::lock_guard<std::mutex> lock(g_reportMutex);
    if (onReport)
        onReport(file);
}

void StorageReceiver::stored(const QString &file)
{
    std::lock_guard<std::mutex> lock(g_reportMutex);
    if (onStored)
        onStored(file);
}

QString StorageReceiver::run()
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    if (!QDir().mkpath(m_config.outputDir))
        return QStringLiteral("Cannot create the input folder %1").arg(m_config.outputDir);
    if (m_config.port == 0)
        return QStringLiteral("No port configured for the receiver");
    const QByteArray aet = m_config.aeTitle.toLatin1();
    if (aet.isEmpty() || aet.size() > 16)
        return QStringLiteral("The AE title '%1' (Com/IR_AET) is not usable: 1 to 16 characters").arg(m_config.aeTitle);

    dicom::prepareNetwork();
    g_owner = this;
    DcmSCPPool<Scp> pool;
    pool.setMaxThreads(static_cast<Uint16>(qBound(1, m_config.maxAssociations, 64)));
    DcmSCPConfig &cfg = pool.getConfig();
    cfg.setAETitle(aet.constData());
    cfg.setPort(m_config.port);
    cfg.setHostLookupEnabled(OFFalse);
    cfg.setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
    // A one-second accept timeout lets the loop notice a stop request while idle.
    cfg.setConnectionBlockingMode(DUL_NOBLOCK);
    cfg.setConnectionTimeout(1);
    const Uint32 timeout = static_cast<Uint32>(qBound(1, m_config.timeoutSeconds, 3600));
    // The pool reads each association request in its accepting thread: a peer that
    // connects and falls silent holds every other sender up until this read gives up.
    // Kept short (a request arrives whole at once), and never longer than the time-out;
    // the DIMSE messages of an association get the whole time-out.
    const Uint32 requestRead = qMin<Uint32>(timeout, RequestReadSeconds);
    cfg.setACSETimeout(requestRead);
    cfg.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    cfg.setDIMSETimeout(timeout);
    dcmSocketReceiveTimeout.set(static_cast<Sint32>(requestRead));
    dcmSocketSendTimeout.set(static_cast<Sint32>(timeout));

    OFList<OFString> xfers;
    for (const QString &ts : transferSyntaxes())
        xfers.push_back(OFString(ts.toLatin1().constData()));
    OFList<OFString> echoXfers;
    echoXfers.push_back(UID_LittleEndianImplicitTransferSyntax);
    echoXfers.push_back(UID_LittleEndianExplicitTransferSyntax);
    echoXfers.push_back(UID_BigEndianExplicitTransferSyntax);
    OFCondition cond = cfg.addPresentationContext(UID_VerificationSOPClass, echoXfers);
    for (const QString &sc : sopClasses()) {
        if (cond.bad())
            break;
        cond = cfg.addPresentationContext(sc.toLatin1().constData(), xfers);
    }
    // Archives report on an association of their own, proposing the SCP role for it; the
    // same class proposed with the default role is taken as well.
    if (cond.good() && !m_config.commitReportsDir.isEmpty()) {
        OFList<OFString> commitXfers;
        commitXfers.push_back(UID_LittleEndianExplicitTransferSyntax);
        commitXfers.push_back(UID_LittleEndianImplicitTransferSyntax);
        cond = cfg.addPresentationContext(UID_StorageCommitmentPushModelSOPClass, commitXfers, ASC_SC_ROLE_SCUSCP);
    }
    if (cond.bad())
        return QStringLiteral("Receiver set-up failed: %1").arg(QString::fromLatin1(cond.text()));

    std::unique_ptr<DcmTransportLayer> tls;
    if (m_config.tls.enabled) {
        try {
            tls = dicom::makeTlsLayer(m_config.tls, true);
        } catch (const AppError &e) {
            return e.description();
        }
        cfg.setTransportLayer(tls.get());
        dicom::setTlsRefusalHandler([this](const QString &address, const QString &why) {
            const QString text = QStringLiteral("TLS caller %1 refused: %2").arg(address, why);
            std::lock_guard<std::mutex> lock(g_reportMutex);
            if (onProblem)
                onProblem(text);
            if (onSecurityAlert)
                onSecurityAlert(address, text);
        });
    }

    // The pool listens until told to stop; a stop request, or a station folder removed
    // meanwhile (nowhere to put images), tells it.
    std::atomic<bool> done{false};
    const QString station = QFileInfo(m_config.outputDir).absolutePath();
    std::thread watch([&] {
        while (!done.load()) {
            if (g_stop.load() || ::access(QFile::encodeName(station).constData(), F_OK) != 0) {
                pool.stopAfterCurrentAssociations();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    cond = pool.listen();
    if (tls)
        dicom::setTlsRefusalHandler(nullptr);
    done.store(true);
    watch.join();
    g_owner = nullptr;
    // A stop ends this run; a receiver run again afterwards listens anew.
    g_stop.store(false);
    if (cond.good() || cond == NET_EC_StopAfterConnectionTimeout || cond == NET_EC_StopAfterAssociation)
        return {};
    if (cond == NET_EC_InsufficientPortPrivileges)
        return QStringLiteral("Port %1 needs privileges that the receiver does not have; "
                              "configure a port of 1024 or above under Communication in the Options")
            .arg(m_config.port);
    const QString why = QString::fromLatin1(cond.text());
    if (why.contains(QLatin1String("in use"), Qt::CaseInsensitive))
        return QStringLiteral("Port %1 is taken by another program (another receiver?); choose another port under "
                              "Communication in the Options")
            .arg(m_config.port);
    return QStringLiteral("Cannot listen on port %1: %2").arg(m_config.port).arg(why);
}
