#include "ui/WidgetPrompter.h"
#include "core/Version.h"
#include "ui/Colours.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <cstdio>

namespace {
QMessageBox::Icon boxIcon(MsgIcon i)
{
    switch (i) {
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Critical:
        return QMessageBox::Critical;
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

void print(const QString &kind, const QString &title, const QString &text)
{
    std::printf("%s %s: %s\n", qPrintable(kind), qPrintable(title),
                qPrintable(QString(text).replace(QLatin1Char('\n'), QLatin1String("\\n"))));
    std::fflush(stdout);
}
} // namespace

WidgetPrompter::WidgetPrompter(QWidget *parent) : m_parent(parent) {}

bool WidgetPrompter::unattended() { return qEnvironmentVariableIntValue("CALVAREX_UNATTENDED") == 1; }

void WidgetPrompter::message(const QString &text, MsgIcon icon, const QString &title)
{
    const QString t = title.isEmpty() ? Version::ProductName : title;
    if (unattended())
        return print(QStringLiteral("MESSAGE"), t, text);
    QMessageBox box(boxIcon(icon), t, text, QMessageBox::Ok, m_parent);
    box.exec();
}

bool WidgetPrompter::askYesNo(const QString &text, MsgIcon icon, const QString &title)
{
    const QString t = title.isEmpty() ? Version::ProductName : title;
    if (unattended()) {
        print(QStringLiteral("QUESTION"), t, text);
        return false;
    }
    QMessageBox box(boxIcon(icon), t, text, QMessageBox::Yes | QMessageBox::No, m_parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> WidgetPrompter::askText(const QString &title, const QString &label, const QString &initial)
{
    if (unattended())
        return std::nullopt;
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, title, label, QLineEdit::Normal, initial, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

QStringList WidgetPrompter::askOpenFiles(const QString &title, const QString &filter, bool multiple)
{
    if (unattended())
        return {};
    if (multiple)
        return QFileDialog::getOpenFileNames(m_parent, title, QString(), filter);
    const QString f = QFileDialog::getOpenFileName(m_parent, title, QString(), filter);
    return f.isEmpty() ? QStringList() : QStringList{f};
}

QString WidgetPrompter::askFolder(const QString &title, const QString &start)
{
    if (unattended())
        return {};
    return QFileDialog::getExistingDirectory(m_parent, title, start);
}

std::optional<qint32> WidgetPrompter::askColour(qint32 initial)
{
    if (unattended())
        return std::nullopt;
    const QColor c = QColorDialog::getColor(colourFromBgr(initial), m_parent);
    if (!c.isValid())
        return std::nullopt;
    return bgrFromColour(c);
}
