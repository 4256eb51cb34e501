#pragma once
// The measures a benchmark run is asked for: its arguments, or every measure when there
// are none; "--list" prints the measures instead.
#include <QStringList>
#include <cstdio>
#include <optional>

// The measures to run; nullopt when the run ends here, with *exitCode set (0 after
// "--list", 2 for a name the benchmark does not know).
inline std::optional<QStringList> wantedMeasures(const QStringList &args, const QStringList &measures, int *exitCode)
{
    *exitCode = 0;
    if (args.contains(QStringLiteral("--list"))) {
        for (const QString &m : measures)
            std::printf("%s\n", qPrintable(m));
        return std::nullopt;
    }
    for (const QString &a : args) {
        if (!measures.contains(a)) {
            std::fprintf(stderr, "unknown measure: %s\n", qPrintable(a));
            *exitCode = 2;
            return std::nullopt;
        }
    }
    return args.isEmpty() ? measures : args;
}
