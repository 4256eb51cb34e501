#include "edit/HeaderPanel.h"
#include "core/EditSession.h"
#include "store/StoreSelection.h"
#include "ui/ListHelpers.h"

#include <QTreeWidget>

HeaderPanel::HeaderPanel(StoreSelection &selection, EditSession &edits, QWidget *parent) : QObject(parent)
{
    m_lvHeader = ListHelpers::reportList(
        QStringLiteral("lvHeader"), {QStringLiteral("Tag"), QStringLiteral("Description"), QStringLiteral("Value")},
        parent);
    connect(&edits, &EditSession::cleared, m_lvHeader, &QTreeWidget::clear);
    connect(&selection, &StoreSelection::imagePicked, this, [this, &selection] {
        if (selection.currentImage == 0)
            m_lvHeader->clear();
    });
}
