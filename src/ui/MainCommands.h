#pragma once
#include <QStyle>
#include <span>

class CommandTable;
class QWidget;

namespace MainCommands {

// A button of Toolbar1: key, caption, tooltip, icon, the command it runs, and whether
// that command is the button's own ("Toolbar1_" + key) or a menu item's.
struct ToolbarButton {
    const char *key;
    const char *caption;
    const char *tooltip;
    QStyle::StandardPixmap icon;
    const char *command;
    bool ownCommand;
};
std::span<const ToolbarButton> toolbarButtons();

// Every command of the main window (menu items, toolbar buttons, context menu items, the
// dose panel's buttons) and the context menus, parented to menuParent. Each command
// starts disabled until a panel hooks it.
void build(CommandTable &table, QWidget *menuParent);

} // namespace MainCommands
