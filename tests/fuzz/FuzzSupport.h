#pragma once
// Shared by the fuzz targets: a broken invariant aborts (libFuzzer keeps the input, the
// replay driver fails), and file readers get the input as a file of their own.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

[[noreturn]] inline void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "fuzz invariant broken: %s %s\n", what, qPrintable(detail.left(300)));
    std::abort();
}

inline void check(bool ok, const char *what, const QString &detail = {})
{
    if (!ok)
        fail(what, detail);
}

// The toolkit's complaints about damaged input, millions of them, stay off the log.
inline void quietToolkit()
{
    static const bool once = (OFLog::configure(OFLogger::OFF_LOG_LEVEL), true);
    (void)once;
}

// The input written to a file of this process (rewritten for every input), as the readers
// under test take paths.
inline QString asFile(const uint8_t *data, size_t size, const char *name)
{
    static const QString folder = [] {
        const QString f = QDir::temp().filePath(QStringLiteral("calvarex-fuzz-%1").arg(::getpid()));
        QDir().mkpath(f);
        std::atexit([] {
            QDir(QDir::temp().filePath(QStringLiteral("calvarex-fuzz-%1").arg(::getpid()))).removeRecursively();
        });
        return f;
    }();
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    std::FILE *f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f)
        fail("cannot write the input file", path);
    if (size && std::fwrite(data, 1, size, f) != size)
        fail("cannot write the input file", path);
    std::fclose(f);
    return path;
}

} // namespace fuzz
