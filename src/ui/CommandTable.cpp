#include "ui/CommandTable.h"

#include <QAction>
#include <QMenu>
#include <stdexcept>

CommandTable::CommandTable(QObject *parent) : QObject(parent) {}

QAction *CommandTable::add(const QString &name, const QString &caption)
{
    auto *a = new QAction(caption, this);
    a->setObjectName(name);
    a->setEnabled(false);
    connect(a, &QAction::triggered, this, [this, name] { run(name); });
    m_actions.insert(name, a);
    return a;
}

void CommandTable::addMenu(const QString &name, QMenu *menu)
{
    menu->setObjectName(name);
    m_menus.insert(name, menu);
}

QAction *CommandTable::action(const QString &name) const { return m_actions.value(name); }
QMenu *CommandTable::menu(const QString &name) const { return m_menus.value(name); }

void CommandTable::hook(const QString &name, std::function<void()> handler)
{
    QAction *a = m_actions.value(name);
    if (!a)
        throw std::logic_error("no command named " + name.toStdString());
    m_hooked.insert(name, std::move(handler));
    a->setEnabled(true);
}

bool CommandTable::run(const QString &name)
{
    auto it = m_hooked.find(name);
    if (it == m_hooked.end())
        return false;
    // A copy: the handler may hook or re-hook commands while it runs.
    auto handler = it.value();
    handler();
    return true;
}
