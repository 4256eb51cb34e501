#include "core/AuditTrail.h"
#include "core/AppError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray Bom = QByteArrayLiteral("\xEF\xBB\xBF");
constexpr int AuthPriv = 10; // security/authorization messages
constexpr int Notice = 5;
constexpr int Warning = 4;

QString systemError(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// A header field of RFC 5424: printable US-ASCII without spaces, at most max characters,
// "-" when there is nothing.
QByteArray headerField(const QString &s, int max)
{
    QByteArray out = s.toLatin1().left(max);
    for (char &c : out)
        if (c < 33 || c > 126)
            c = '_';
    return out.isEmpty() ? QByteArrayLiteral("-") : out;
}

// A new file's name is on disk only once its folder is synced.
void syncFolderOf(const QByteArray &file)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(QFile::decodeName(file)).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Appends one record to a file with O_APPEND: one write() for the whole record (so that
// processes appending to the same file at the same time never mix their records), then
// fdatasync. Under an exclusive flock: a record torn by a power cut at the end of the
// file is closed off first, so that the new record starts a line of its own, and that
// look at the end must not see another writer's record half written; the queue's
// compaction must not meet an append either. The file is made 0640; an existing one that
// others may read or anyone may execute loses those rights.
bool appendRecord(const QString &path, QByteArray record, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    const bool existed = ::stat(name.constData(), &before) == 0;
    const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    ::flock(fd, LOCK_EX);
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        if ((st.st_mode & 0137) != 0)
            ::fchmod(fd, st.st_mode & 0640);
        char last = '\n';
        if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            record.prepend('\n');
    }
    bool ok = true;
    const char *p = record.constData();
    qsizetype left = record.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = systemError(errno);
            ok = false;
            break;
        }
        p += n;
        left -= n;
    }
    if (ok && ::fdatasync(fd) != 0) {
        *error = systemError(errno);
        ok = false;
    }
    ::close(fd);
    if (ok && !existed)
        syncFolderOf(name);
    return ok;
}

// The queue file: one record per line, "P <length> <message>" while the message waits,
// "S ..." once it went (the one byte is overwritten in place). A line whose length does
// not match (torn by a power cut) is left alone. When every line went, the file is
// emptied.
struct Queued {
    qint64 offset = 0;
    QByteArray message;
};

QByteArray queueRecord(const QByteArray &message)
{
    return QByteArrayLiteral("P ") + QByteArray::number(message.size()) + ' ' + message + '\n';
}

// The waiting messages in order; end is where the last whole line ends.
QList<Queued> readQueue(int fd, qint64 *end)
{
    QList<Queued> out;
    *end = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size == 0)
        return out;
    QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < data.size()) {
        const ssize_t n = ::pread(fd, data.data() + got, size_t(data.size() - got), got);
        if (n <= 0)
            break;
        got += n;
    }
    data.truncate(got);
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype nl = data.indexOf('\n', pos);
        if (nl < 0)
            break;
        *end = nl + 1;
        const QByteArrayView line(data.constData() + pos, nl - pos);
        const qsizetype sp = line.indexOf(' ', 2);
        if (line.size() > 2 && line.at(0) == 'P' && line.at(1) == ' ' && sp > 2) {
            bool ok = false;
            const qsizetype length = line.sliced(2, sp - 2).toByteArray().toLongLong(&ok);
            if (ok && length == line.size() - sp - 1)
                out.append({pos, line.sliced(sp + 1).toByteArray()});
        }
        pos = nl + 1;
    }
    return out;
}

int countQueued(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ::flock(fd, LOCK_SH);
    qint64 end = 0;
    const int n = int(readQueue(fd, &end).size());
    ::close(fd);
    return n;
}

QSslKey readKey(const QByteArray &pem, const QByteArray &password)
{
    for (const QSsl::KeyAlgorithm a : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, a, QSsl::Pem, QSsl::PrivateKey, password);
        if (!key.isNull())
            return key;
    }
    return {};
}

// What the forwarding thread and the writers share.
struct Status {
    QMutex mutex;
    QString lastError;
    std::atomic_bool pumpQueued{false};

    void setError(const QString &e)
    {
        QMutexLocker l(&mutex);
        lastError = e;
    }
    QString error()
    {
        QMutexLocker l(&mutex);
        return lastError;
    }
};

// Lives in the trail's thread: sends the queue to the repository, in order.
class Forwarder : public QObject {
public:
    Forwarder(const AuditTrail::Config &config, const QString &queuePath, std::shared_ptr<Status> status)
        : m_config(config), m_queuePath(queuePath), m_status(std::move(status))
    {
        m_port = m_config.repositoryPort ? m_config.repositoryPort
                                         : (m_config.transport == AuditTrail::Transport::Udp ? 514 : 6514);
    }

    int timeoutMs() const { return m_config.connectTimeoutMs; }

    // In the thread: the TLS set-up, the retry timer, and a first try for what an earlier
    // run left.
    void start()
    {
        if (m_config.repositoryHost.isEmpty())
            m_configError = QStringLiteral("no audit repository host is set");
        else if (m_config.transport == AuditTrail::Transport::Tls)
            m_configError = prepareTls();
        m_timer = new QTimer(this);
        m_timer->setInterval(m_config.retryIntervalMs);
        connect(m_timer, &QTimer::timeout, this, [this] { pump(); });
        m_timer->start();
        pump();
    }

    void stop()
    {
        m_stopped = true;
        delete m_timer;
        m_timer = nullptr;
        if (m_tls) {
            m_tls->disconnectFromHost();
            if (m_tls->state() != QAbstractSocket::UnconnectedState)
                m_tls->waitForDisconnected(200);
        }
        delete m_tls;
        m_tls = nullptr;
        delete m_udp;
        m_udp = nullptr;
    }

    // Sends what waits, oldest first, until all went, one failed, or (budgetMs >= 0) the
    // budget is spent; the number still waiting.
    int pump(qint64 budgetMs = -1)
    {
        m_status->pumpQueued = false;
        if (m_stopped)
            return countQueued(m_queuePath);
        QElapsedTimer clock;
        clock.start();
        const int fd = ::open(QFile::encodeName(m_queuePath).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                m_status->setError(
                    QStringLiteral("the audit queue %1 cannot be read: %2").arg(m_queuePath, systemError(errno)));
            return 0;
        }
        ::flock(fd, LOCK_EX);
        qint64 end = 0;
        const QList<Queued> waiting = readQueue(fd, &end);
        ::flock(fd, LOCK_UN);

        qsizetype sent = 0;
        QString why;
        bool failed = false;
        for (const Queued &q : waiting) {
            if (budgetMs >= 0 && clock.elapsed() > budgetMs)
                break;
            if (!deliver(q.message, &why)) {
                failed = true;
                break;
            }
            // Marked at once: a message that went is not sent again after a kill.
            if (::pwrite(fd, "S", 1, q.offset) != 1 || ::fdatasync(fd) != 0) {
                why = QStringLiteral("the audit queue %1 cannot be written: %2").arg(m_queuePath, systemError(errno));
                failed = true;
                break;
            }
            ++sent;
        }
        if (failed) {
            m_status->setError(why);
        } else if (sent == waiting.size()) {
            m_status->setError(m_note);
            m_note.clear();
            // All went: the file is emptied, unless a writer appended meanwhile.
            ::flock(fd, LOCK_EX);
            struct stat st {};
            if (end > 0 && ::fstat(fd, &st) == 0 && st.st_size == end && ::ftruncate(fd, 0) == 0)
                ::fdatasync(fd);
            ::flock(fd, LOCK_UN);
        }
        ::flock(fd, LOCK_SH);
        qint64 unused = 0;
        const int left = int(readQueue(fd, &unused).size());
        ::close(fd);
        return left;
    }

private:
    QString where() const { return QStringLiteral("audit repository %1:%2").arg(m_config.repositoryHost).arg(m_port); }

    QString prepareTls()
    {
        if (!QSslSocket::supportsSsl())
            return QStringLiteral("TLS is not available on this machine");
        m_ssl = QSslConfiguration::defaultConfiguration();
        m_ssl.setProtocol(QSsl::TlsV1_2OrLater);
        m_ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!m_config.caFile.isEmpty()) {
            const QList<QSslCertificate> ca = QSslCertificate::fromPath(m_config.caFile, QSsl::Pem);
            if (ca.isEmpty())
                return QStringLiteral("the CA file %1 holds no certificate").arg(m_config.caFile);
            m_ssl.setCaCertificates(ca);
        }
        if (!m_config.certFile.isEmpty() || !m_config.keyFile.isEmpty()) {
            const QList<QSslCertificate> own = QSslCertificate::fromPath(m_config.certFile, QSsl::Pem);
            if (own.isEmpty())
                return QStringLiteral("the certificate file %1 holds no certificate").arg(m_config.certFile);
            QFile keyFile(m_config.keyFile);
            if (!keyFile.open(QIODevice::ReadOnly))
                return QStringLiteral("the key file %1 cannot be read: %2")
                    .arg(m_config.keyFile, keyFile.errorString());
            const QSslKey key = readKey(keyFile.readAll(), m_config.keyPassword);
            if (key.isNull())
                return QStringLiteral("the key file %1 holds no key this password opens").arg(m_config.keyFile);
            m_ssl.setLocalCertificate(own.first());
            if (own.size() > 1)
                m_ssl.setLocalCertificateChain(own);
            m_ssl.setPrivateKey(key);
        }
        return {};
    }

    bool deliver(const QByteArray &message, QString *why)
    {
        if (!m_configError.isEmpty()) {
            *why = m_configError;
            return false;
        }
        return m_config.transport == AuditTrail::Transport::Udp ? sendUdp(message, why) : sendTls(message, why);
    }

    bool connectTls(QString *why)
    {
        if (m_tls && m_tls->state() == QAbstractSocket::ConnectedState && m_tls->isEncrypted()) {
            // A repository that closed its end (a restart) is seen here, before a message
            // goes into a dead connection.
            m_tls->waitForReadyRead(0);
            m_tls->readAll();
            if (m_tls->state() == QAbstractSocket::ConnectedState)
                return true;
        }
        if (!m_tls)
            m_tls = new QSslSocket(this);
        m_tls->abort();
        m_tls->setSslConfiguration(m_ssl);
        QElapsedTimer clock;
        clock.start();
        m_tls->connectToHostEncrypted(m_config.repositoryHost, m_port);
        if (m_tls->waitForEncrypted(m_config.connectTimeoutMs))
            return true;
        QStringList reasons;
        for (const QSslError &e : m_tls->sslHandshakeErrors())
            reasons << e.errorString();
        if (reasons.isEmpty()) {
            const bool silent = m_tls->error() == QAbstractSocket::SocketTimeoutError
                                || (m_tls->state() != QAbstractSocket::UnconnectedState
                                    && clock.elapsed() >= m_config.connectTimeoutMs);
            reasons << (silent ? QStringLiteral("no answer within %1 ms").arg(m_config.connectTimeoutMs)
                               : m_tls->errorString());
        }
        *why = where() + QStringLiteral(": ") + reasons.join(QStringLiteral("; "));
        m_tls->abort();
        return false;
    }

    // RFC 5425: octet counting, "LENGTH SP MESSAGE".
    bool sendTls(const QByteArray &message, QString *why)
    {
        if (!connectTls(why))
            return false;
        m_tls->write(QByteArray::number(message.size()) + ' ' + message);
        while (m_tls->bytesToWrite() > 0 || m_tls->encryptedBytesToWrite() > 0) {
            if (!m_tls->waitForBytesWritten(m_config.connectTimeoutMs)) {
                *why = where() + QStringLiteral(": ") + m_tls->errorString();
                m_tls->abort();
                return false;
            }
        }
        if (m_tls->state() != QAbstractSocket::ConnectedState) {
            *why = where() + QStringLiteral(": the connection closed");
            return false;
        }
        return true;
    }

    // RFC 5426: one message per datagram.
    bool sendUdp(const QByteArray &message, QString *why)
    {
        if (!m_udp)
            m_udp = new QUdpSocket(this);
        if (m_address.isNull() && !m_address.setAddress(m_config.repositoryHost)) {
            const QList<QHostAddress> found = QHostInfo::fromName(m_config.repositoryHost).addresses();
            if (found.isEmpty()) {
                *why = where() + QStringLiteral(": the host name is not known");
                return false;
            }
            m_address = found.first();
        }
        if (m_udp->writeDatagram(message, m_address, m_port) == message.size())
            return true;
        if (m_udp->error() == QAbstractSocket::DatagramTooLargeError) {
            // It never fits: it stays in the local log only, and the queue goes on.
            m_note = where() + QStringLiteral(": a message of %1 bytes is too large for UDP").arg(message.size());
            return true;
        }
        *why = where() + QStringLiteral(": ") + m_udp->errorString();
        m_address = {};
        return false;
    }

    AuditTrail::Config m_config;
    QString m_queuePath;
    std::shared_ptr<Status> m_status;
    quint16 m_port = 0;
    QString m_configError;
    QString m_note;
    QSslConfiguration m_ssl;
    QSslSocket *m_tls = nullptr;
    QUdpSocket *m_udp = nullptr;
    QHostAddress m_address;
    QTimer *m_timer = nullptr;
    bool m_stopped = false;
};

} // namespace

struct AuditTrail::Private {
    Config config;
    AuditStation station;
    QString queuePath;
    QThread thread;
    Forwarder *forwarder = nullptr;
    std::shared_ptr<Status> status = std::make_shared<Status>();

    QByteArray header(AuditOutcome outcome) const
    {
        const int pri = AuthPriv * 8 + (outcome == AuditOutcome::Success ? Notice : Warning);
        return QByteArrayLiteral("<") + QByteArray::number(pri) + QByteArrayLiteral(">1 ")
               + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1() + ' '
               + headerField(station.hostName, 255) + ' ' + headerField(station.applicationName, 48) + ' '
               + QByteArray::number(station.processId) + ' ' + headerField(config.messageId, 32) + " -";
    }
};

AuditTrail::AuditTrail(const Config &config) : d(std::make_unique<Private>())
{
    if (config.logFile.isEmpty())
        throw AppError(ErrorNo::BadInput, QStringLiteral("No audit log file is set"));
    d->config = config;
    QDir().mkpath(QFileInfo(config.logFile).absolutePath());
    d->station = AuditStation::current(config.applicationName, config.aeTitle);
    d->station.siteId = config.siteId;
    if (config.transport == Transport::None)
        return;
    // One queue per program: the station and each companion send their own messages.
    const QFileInfo log(config.logFile);
    d->queuePath = log.absolutePath() + QLatin1Char('/') + log.completeBaseName() + QLatin1Char('.')
                   + QString::fromLatin1(headerField(config.applicationName, 48)) + QStringLiteral(".queue");
    d->thread.setObjectName(QStringLiteral("audit-forwarder"));
    d->forwarder = new Forwarder(d->config, d->queuePath, d->status);
    d->forwarder->moveToThread(&d->thread);
    d->thread.start();
    QMetaObject::invokeMethod(
        d->forwarder, [f = d->forwarder] { f->start(); }, Qt::QueuedConnection);
}

AuditTrail::~AuditTrail()
{
    if (!d->forwarder)
        return;
    Forwarder *f = d->forwarder;
    QMetaObject::invokeMethod(
        f,
        [f] {
            f->pump(f->timeoutMs());
            f->stop();
        },
        Qt::BlockingQueuedConnection);
    d->thread.quit();
    d->thread.wait();
    delete f;
}

const AuditStation &AuditTrail::station() const { return d->station; }

void AuditTrail::log(const AuditEvent &event)
{
    const QByteArray xml = event.toXml();
    const QByteArray head = d->header(event.outcome());
    QString why;
    if (!appendRecord(d->config.logFile, head + ' ' + xml + '\n', &why))
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("The audit log %1 cannot be written: %2").arg(d->config.logFile, why));
    if (!d->forwarder)
        return;
    // On the wire the MSG is marked as UTF-8 by its byte order mark.
    if (!appendRecord(d->queuePath, queueRecord(head + ' ' + Bom + xml), &why)) {
        d->status->setError(QStringLiteral("the audit queue %1 cannot be written: %2").arg(d->queuePath, why));
        return;
    }
    if (!d->status->pumpQueued.exchange(true))
        QMetaObject::invokeMethod(
            d->forwarder, [f = d->forwarder] { f->pump(); }, Qt::QueuedConnection);
}

int AuditTrail::flush()
{
    if (!d->forwarder)
        return 0;
    int left = 0;
    QMetaObject::invokeMethod(
        d->forwarder, [&left, f = d->forwarder] { left = f->pump(); }, Qt::BlockingQueuedConnection);
    return left;
}

int AuditTrail::pending() const { return d->forwarder ? countQueued(d->queuePath) : 0; }

QString AuditTrail::lastForwardError() const { return d->status->error(); }

QString AuditTrail::queueFile() const { return d->queuePath; }

QList<AuditTrail::Entry> AuditTrail::readLog(const QString &path)
{
    QList<Entry> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray data = f.readAll();
    for (const QByteArray &line : data.split('\n')) {
        if (const std::optional<Entry> e = parse(line))
            out << *e;
    }
    return out;
}

std::optional<AuditTrail::Entry> AuditTrail::parse(const QByteArray &message)
{
    // <PRI>VERSION SP TIMESTAMP SP HOSTNAME SP APP-NAME SP PROCID SP MSGID SP SD [SP MSG]
    const QByteArray m = message.endsWith('\r') ? message.chopped(1) : message;
    if (!m.startsWith('<'))
        return std::nullopt;
    const qsizetype close = m.indexOf('>');
    if (close < 2 || close > 4)
        return std::nullopt;
    bool ok = false;
    const int pri = m.mid(1, close - 1).toInt(&ok);
    if (!ok || pri < 0 || pri > 191)
        return std::nullopt;
    qsizetype pos = close + 1;
    QByteArray fields[6]; // VERSION TIMESTAMP HOSTNAME APP-NAME PROCID MSGID
    for (QByteArray &f : fields) {
        const qsizetype sp = m.indexOf(' ', pos);
        if (sp <= pos)
            return std::nullopt;
        f = m.mid(pos, sp - pos);
        pos = sp + 1;
    }
    if (fields[0] != "1" || pos >= m.size())
        return std::nullopt;
    if (m.at(pos) == '-') {
        ++pos;
    } else if (m.at(pos) == '[') {
        while (pos < m.size() && m.at(pos) == '[') {
            bool quoted = false;
            for (++pos; pos < m.size(); ++pos) {
                const char c = m.at(pos);
                if (c == '\\') {
                    ++pos;
                } else if (c == '"') {
                    quoted = !quoted;
                } else if (c == ']' && !quoted) {
                    ++pos;
                    break;
                }
            }
        }
    } else {
        return std::nullopt;
    }
    QByteArray msg;
    if (pos < m.size()) {
        if (m.at(pos) != ' ')
            return std::nullopt;
        msg = m.mid(pos + 1);
    }
    if (msg.startsWith(Bom))
        msg.remove(0, Bom.size());
    Entry e;
    e.facility = pri / 8;
    e.severity = pri % 8;
    e.timestamp = QString::fromLatin1(fields[1]);
    e.time = QDateTime::fromString(e.timestamp, Qt::ISODateWithMs);
    e.hostName = QString::fromLatin1(fields[2]);
    e.appName = QString::fromLatin1(fields[3]);
    e.procId = QString::fromLatin1(fields[4]);
    e.msgId = QString::fromLatin1(fields[5]);
    e.xml = msg;
    return e;
}
