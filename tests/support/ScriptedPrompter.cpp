#include "ScriptedPrompter.h"

void ScriptedPrompter::message(const QString &text, MsgIcon icon, const QString &title)
{
    shown.append({QStringLiteral("message"), text, icon, title});
}

bool ScriptedPrompter::askYesNo(const QString &text, MsgIcon icon, const QString &title)
{
    shown.append({QStringLiteral("yesno"), text, icon, title});
    if (yesNo.empty())
        return false;
    const bool a = yesNo.front();
    yesNo.pop_front();
    return a;
}

std::optional<QString> ScriptedPrompter::askText(const QString &title, const QString &label, const QString &)
{
    shown.append({QStringLiteral("text"), label, MsgIcon::None, title});
    if (texts.empty())
        return std::nullopt;
    auto a = texts.front();
    texts.pop_front();
    return a;
}

QStringList ScriptedPrompter::askOpenFiles(const QString &title, const QString &, bool)
{
    shown.append({QStringLiteral("files"), title, MsgIcon::None, title});
    if (files.empty())
        return {};
    auto a = files.front();
    files.pop_front();
    return a;
}

QString ScriptedPrompter::askFolder(const QString &title, const QString &)
{
    shown.append({QStringLiteral("folder"), title, MsgIcon::None, title});
    if (folders.empty())
        return {};
    auto a = folders.front();
    folders.pop_front();
    return a;
}

std::optional<qint32> ScriptedPrompter::askColour(qint32)
{
    shown.append({QStringLiteral("colour"), QString(), MsgIcon::None, QString()});
    if (colours.empty())
        return std::nullopt;
    auto a = colours.front();
    colours.pop_front();
    return a;
}

QStringList ScriptedPrompter::texts_shown() const
{
    QStringList out;
    for (const auto &s : shown)
        out << s.text;
    return out;
}
