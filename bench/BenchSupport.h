#pragma once
// What the benchmarks share: the measures a run is asked for, the median of repeated
// runs, and a progress that behaves like the progress window.
#include "core/Progress.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <optional>

// The measures a run is asked for: its arguments, or every measure when there are none;
// "--list" prints the measures instead.
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

// The middle value of repeated runs (0 when there were none).
template <typename List> double median(List v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The window's progress: text dropped, events let through on every yield.
class WindowLikeProgress : public Progress {
public:
    void append(const QString &) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
    void scrollToEnd() override {}
    void yield() override { QCoreApplication::processEvents(); }
};
