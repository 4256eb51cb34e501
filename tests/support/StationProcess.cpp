#include "StationProcess.h"

#include <QDir>
#include <QFile>
#include <csignal>

QProcessEnvironment stationEnvironment(const QString &home, const QString &configHome, QSize screen)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CALVAREX_HOME", home);
    env.insert("XDG_CONFIG_HOME", configHome);
    // The offscreen platform takes its screen from a small configuration file.
    const QString screenFile = configHome + QString("/offscreen-%1x%2.json").arg(screen.width()).arg(screen.height());
    QFile f(screenFile);
    if (f.open(QIODevice::WriteOnly))
        f.write(
            QString(
                "{ \"screens\": [ { \"name\": \"OffscreenScreen\", \"x\": 0, \"y\": 0, \"width\": %1, \"height\": %2,"
                " \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1 } ] }\n")
                .arg(screen.width())
                .arg(screen.height())
                .toUtf8());
    env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + screenFile);
    env.insert("CALVAREX_UNATTENDED", "1");
    return env;
}

void killStationProcesses(const QString &home)
{
    const QByteArray needle = "CALVAREX_HOME=" + home.toLocal8Bit();
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool ok = false;
        const int n = pid.toInt(&ok);
        if (!ok || n == getpid())
            continue;
        QFile f("/proc/" + pid + "/environ");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> vars = f.readAll().split('\0');
        if (vars.contains(needle))
            ::kill(n, SIGKILL);
    }
}
