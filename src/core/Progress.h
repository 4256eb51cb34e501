#pragma once
#include <QString>

// What a long operation reports while it runs: the progress window shows it, tests
// record it.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void appendLine(const QString &text) = 0;
    virtual void setMaximum(int maximum) = 0;
    virtual void setValue(int value) = 0;
    // Lets pending window events run between items.
    virtual void yield() = 0;
};
