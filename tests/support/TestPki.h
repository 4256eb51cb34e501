#pragma once
// A scratch public key infrastructure made with openssl: a CA, certificates it signed,
// a self-signed one, an expired one. Keys are readable by their owner only, as the
// station asks of its own.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

class TestPki {
public:
    enum Kind { Signed, SelfSigned, Expired };

    TestPki()
    {
        m_ok = m_dir.isValid()
               && run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"), "-out",
                       path("ca.pem"), "-subj", "/CN=Calvarex Test CA", "-days", "30"});
    }
    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString folder() const { return m_dir.path(); }
    QString ca() const { return path("ca.pem"); }
    QString key(const QString &name) const { return path(name + ".key"); }
    QString cert(const QString &name) const { return path(name + ".pem"); }

    // Makes <name>.key and <name>.pem with the subject CN=<name>. An expired certificate
    // ended the second it was made; make() waits until it lies in the past.
    bool make(const QString &name, Kind kind = Signed)
    {
        if (!m_ok)
            return false;
        bool done = false;
        if (kind == SelfSigned) {
            done = run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key(name), "-out", cert(name),
                        "-subj", "/CN=" + name, "-days", "30"});
        } else {
            done = run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key(name), "-out", path(name + ".csr"),
                        "-subj", "/CN=" + name})
                   && run({"x509", "-req", "-in", path(name + ".csr"), "-CA", ca(), "-CAkey", path("ca.key"),
                           "-CAcreateserial", "-out", cert(name), "-days", kind == Expired ? "0" : "30"});
            if (done && kind == Expired)
                QThread::msleep(1100);
        }
        return done && QFile::setPermissions(key(name), QFile::ReadOwner | QFile::WriteOwner);
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool run(const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            m_error = QStringLiteral("openssl %1: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAll()));
            return false;
        }
        return true;
    }
    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_error;
};
