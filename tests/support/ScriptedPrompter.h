#pragma once
#include "core/Prompter.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <deque>

// Answers the station's questions from a script and records every text it was shown,
// so tests can check messages word for word.
class ScriptedPrompter : public Prompter {
public:
    struct Shown {
        QString kind; // "message", "yesno", "text", "files", "folder", "colour"
        QString text;
        MsgIcon icon = MsgIcon::None;
        QString title;
    };

    void message(const QString &text, MsgIcon icon, const QString &title) override;
    bool askYesNo(const QString &text, MsgIcon icon, const QString &title) override;
    std::optional<QString> askText(const QString &title, const QString &label, const QString &initial) override;
    QStringList askOpenFiles(const QString &title, const QString &filter, bool multiple) override;
    QString askFolder(const QString &title, const QString &start) override;
    std::optional<qint32> askColour(qint32 initial) override;

    // Scripted answers, used in order; a question without an answer left answers No /
    // cancel.
    std::deque<bool> yesNo;
    std::deque<std::optional<QString>> texts;
    std::deque<QStringList> files;
    std::deque<QString> folders;
    std::deque<std::optional<qint32>> colours;

    QList<Shown> shown;
    // Texts of every message and question, in order.
    QStringList texts_shown() const;
    QString lastText() const { return shown.isEmpty() ? QString() : shown.last().text; }
    void clear() { shown.clear(); }
};
