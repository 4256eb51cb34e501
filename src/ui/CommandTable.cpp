#include "ui/CommandTable.h"
#include "ui/CommandIds.h"

#include <QAction>
#include <QMenu>
#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace {

template <std::size_t N> bool listed(const char *const (&names)[N], const QString &name)
{
    return std::any_of(std::begin(names), std::end(names), [&](const char *n) { return name == QLatin1String(n); });
}

[[noreturn]] void unknown(const char *what, const QString &name)
{
    throw std::logic_error(std::string(what) + " \"" + name.toStdString()
                           + "\" is not in the command list (ui/CommandIds.h)");
}

} // namespace

CommandTable::CommandTable(QObject *parent) : QObject(parent) {}

void CommandTable::requireCommand(const QString &name) const
{
    if (!listed(Cmd::All, name))
        unknown("command", name);
}

void CommandTable::requireMenu(const QString &name) const
{
    if (!listed(Menu::All, name))
        unknown("menu", name);
}

QAction *CommandTable::add(const QString &name, const QString &caption)
{
    requireCommand(name);
    if (m_actions.contains(name))
        throw std::logic_error("command \"" + name.toStdString() + "\" added twice");
    auto *a = new QAction(caption, this);
    a->setObjectName(name);
    a->setEnabled(false);
    connect(a, &QAction::triggered, this, [this, name] { run(name); });
    m_actions.insert(name, a);
    return a;
}

void CommandTable::addMenu(const QString &name, QMenu *menu)
{
    requireMenu(name);
    if (m_menus.contains(name))
        throw std::logic_error("menu \"" + name.toStdString() + "\" added twice");
    menu->setObjectName(name);
    m_menus.insert(name, menu);
}

QAction *CommandTable::action(const QString &name) const
{
    requireCommand(name);
    return m_actions.value(name);
}

QMenu *CommandTable::menu(const QString &name) const
{
    requireMenu(name);
    return m_menus.value(name);
}

void CommandTable::hook(const QString &name, std::function<void()> handler)
{
    requireCommand(name);
    QAction *a = m_actions.value(name);
    if (!a)
        throw std::logic_error("command \"" + name.toStdString() + "\" is hooked before it was added");
    m_hooked.insert(name, std::move(handler));
    a->setEnabled(true);
}

bool CommandTable::run(const QString &name)
{
    requireCommand(name);
    auto it = m_hooked.find(name);
    if (it == m_hooked.end())
        return false;
    // A copy: the handler may hook or re-hook commands while it runs.
    auto handler = it.value();
    handler();
    return true;
}
