#pragma once
#include <QString>

// What a long operation reports while it runs: the progress window shows it, tests
// record it. Text goes on as it is written: an operation writes "Updating Database ... "
// and later "OK" on the same line; a line ends with "\n".
class Progress {
public:
    virtual ~Progress() = default;
    // Appends to the current line.
    virtual void append(const QString &text) = 0;
    void appendLine(const QString &text) { append(text + QLatin1Char('\n')); }
    virtual void setMaximum(int maximum) = 0;
    virtual void setValue(int value) = 0;
    // Shows the end of the text.
    virtual void scrollToEnd() = 0;
    // Lets pending window events run between items.
    virtual void yield() = 0;
};

// Reports nowhere: for work that runs without a window.
class NoProgress : public Progress {
public:
    void append(const QString &) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
    void scrollToEnd() override {}
    void yield() override {}
};
