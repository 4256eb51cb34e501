#pragma once
// Waiting with events running, and reading files, for the tests.
#include "peers/Ports.h"

#include <QByteArray>
#include <QFile>
#include <QString>

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

using peers::waitUntil;
