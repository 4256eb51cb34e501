#pragma once
// A progress that keeps what an operation reports, for the tests.
#include "core/Progress.h"

#include <QString>

class RecordingProgress : public Progress {
public:
    void append(const QString &t) override { text += t; }
    void setMaximum(int m) override { maximum = m; }
    void setValue(int v) override { value = v; }
    void scrollToEnd() override { ++scrolls; }
    void yield() override { ++yields; }

    QString text;
    int maximum = -1;
    int value = -1;
    int scrolls = 0;
    int yields = 0;
};
