#pragma once
#include "core/Prompter.h"

class QWidget;

// The windows' answer to the station's questions: message boxes and common dialogs.
// With CALVAREX_UNATTENDED=1 in the environment nothing is shown: every message is
// written to standard output as "MESSAGE <title>: <text>" and every question is
// answered No / cancelled, so scripted checks can run the station without a person.
class WidgetPrompter : public Prompter {
public:
    explicit WidgetPrompter(QWidget *parent = nullptr);
    void setParent(QWidget *parent) { m_parent = parent; }
    static bool unattended();

    void message(const QString &text, MsgIcon icon, const QString &title) override;
    bool askYesNo(const QString &text, MsgIcon icon, const QString &title) override;
    std::optional<QString> askText(const QString &title, const QString &label, const QString &initial) override;
    QStringList askOpenFiles(const QString &title, const QString &filter, bool multiple) override;
    QString askFolder(const QString &title, const QString &start) override;
    std::optional<qint32> askColour(qint32 initial) override;

private:
    QWidget *m_parent;
};
