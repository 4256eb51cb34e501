#pragma once
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

class QAction;
class QMenu;

// Every command of the main window (menu items, toolbar buttons, context menu items)
// by its name, and the context menus. A command is disabled until a subsystem hooks a
// handler into it, so no item ever silently does nothing. Names come from
// ui/CommandIds.h only: adding, hooking, finding or running a name that is not listed
// there throws std::logic_error, and so does adding a name twice.
class CommandTable : public QObject {
    Q_OBJECT
public:
    explicit CommandTable(QObject *parent = nullptr);

    // Creates a command; it starts disabled.
    QAction *add(const QString &name, const QString &caption);
    void addMenu(const QString &name, QMenu *menu);

    QAction *action(const QString &name) const;
    QMenu *menu(const QString &name) const;
    bool contains(const QString &name) const { return m_actions.contains(name); }
    QStringList names() const { return m_actions.keys(); }

    // Hooks the handler in and enables the command.
    void hook(const QString &name, std::function<void()> handler);
    bool isHooked(const QString &name) const { return m_hooked.contains(name); }
    // Runs the command's handler (what a click does); false when it has none yet.
    bool run(const QString &name);

private:
    void requireCommand(const QString &name) const;
    void requireMenu(const QString &name) const;

    QHash<QString, QAction *> m_actions;
    QHash<QString, QMenu *> m_menus;
    QHash<QString, std::function<void()>> m_hooked;
};
