#pragma once
// The DICOM audit message schema kept with the tests, and xmllint's verdict on a message.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

inline const QString AuditSchemaFile = QStringLiteral(CALVAREX_SOURCE_DIR "/tests/core/audit/audit-message.rng");

// Empty when xmllint finds the message valid against the schema; what it said otherwise
// (also when it could not run).
inline QString auditSchemaProblem(const QByteArray &xml)
{
    QTemporaryFile f;
    if (!f.open() || f.write(xml) != xml.size())
        return QStringLiteral("cannot write the message");
    f.close();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("xmllint"),
            {QStringLiteral("--noout"), QStringLiteral("--relaxng"), AuditSchemaFile, f.fileName()});
    if (!p.waitForFinished(30000))
        return QStringLiteral("xmllint did not finish");
    const QString said = QString::fromLocal8Bit(p.readAll());
    const bool valid =
        p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && said.contains(QLatin1String("validates"));
    return valid ? QString() : (said.isEmpty() ? QStringLiteral("xmllint did not run") : said);
}
