#include "edit/HeaderPanel.h"
#include "core/EditSession.h"
#include "ui/ListHelpers.h"

#include <QTreeWidget>

HeaderPanel::HeaderPanel(EditSession &edits, QWidget *parent) : QObject(parent)
{
    m_lvHeader = ListHelpers::reportList(
        QStringLiteral("lvHeader"), {QStringLiteral("Tag"), QStringLiteral("Description"), QStringLiteral("Value")},
        parent);
    connect(&edits, &EditSession::cleared, m_lvHeader, &QTreeWidget::clear);
}
