#pragma once
#include <QString>
#include <QStringList>
#include <optional>

enum class MsgIcon { None, Information, Warning, Critical, Question };

// Every question and message of the station goes through this interface: the windows
// answer with message boxes and file dialogs, the tests with a script that records
// every text.
class Prompter {
public:
    virtual ~Prompter() = default;
    // A message with an OK button.
    virtual void message(const QString &text, MsgIcon icon = MsgIcon::None, const QString &title = {}) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool askYesNo(const QString &text, MsgIcon icon = MsgIcon::Question, const QString &title = {}) = 0;
    // A line of text; nullopt when the user cancelled.
    virtual std::optional<QString> askText(const QString &title, const QString &label, const QString &initial = {}) = 0;
    // Files to open; empty when cancelled.
    virtual QStringList askOpenFiles(const QString &title, const QString &filter, bool multiple) = 0;
    // A folder; empty when cancelled.
    virtual QString askFolder(const QString &title, const QString &start) = 0;
    // A colour (0x00BBGGRR); nullopt when cancelled.
    virtual std::optional<qint32> askColour(qint32 initial) = 0;
};

// A prompter that shows nothing and answers no: for tools that prepare a station's files
// without a screen.
class SilentPrompter : public Prompter {
public:
    void message(const QString &, MsgIcon, const QString &) override {}
    bool askYesNo(const QString &, MsgIcon, const QString &) override { return false; }
    std::optional<QString> askText(const QString &, const QString &, const QString &) override { return {}; }
    QStringList askOpenFiles(const QString &, const QString &, bool) override { return {}; }
    QString askFolder(const QString &, const QString &) override { return {}; }
    std::optional<qint32> askColour(qint32) override { return {}; }
};
