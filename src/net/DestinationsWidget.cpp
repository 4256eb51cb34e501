#include "net/DestinationsWidget.h"
#include "core/Station.h"
#include "net/AddScpForm.h"
#include "net/Destinations.h"

#include <QHeaderView>
#include <QLayout>
#include <QMenu>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
// "yes" for a dose registry.
constexpr int DoseReportsColumn = 4;
// "yes" for a destination asked for storage commitment.
constexpr int CommitmentColumn = 5;
} // namespace

DestinationsWidget::DestinationsWidget(Station &station, QWidget *parent) : QWidget(parent), m_station(station)
{
    execDialog = [](QDialog &d) { return d.exec(); };
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_lvSCP = new QTreeWidget(this);
    m_lvSCP->setObjectName(QStringLiteral("lvSCP"));
    m_lvSCP->setHeaderLabels({QStringLiteral("Alias"), QStringLiteral("AET"), QStringLiteral("IP"),
                              QStringLiteral("Port"), QStringLiteral("Dose reports"), QStringLiteral("Commitment")});
    m_lvSCP->setRootIsDecorated(false);
    m_lvSCP->setContextMenuPolicy(Qt::CustomContextMenu);
    m_lvSCP->header()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(m_lvSCP);

    m_popup = new QMenu(m_lvSCP);
    m_popup->setObjectName(QStringLiteral("PopupAddSCP"));
    auto add = [this](const char *name, const QString &text, void (DestinationsWidget::*slot)()) {
        QAction *a = m_popup->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    add("PopAddNewSCP", QStringLiteral("Add New ..."), &DestinationsWidget::addNew);
    add("PopEditSCP", QStringLiteral("Edit ..."), &DestinationsWidget::editSelected);
    add("PopDeleteSCP", QStringLiteral("Delete"), &DestinationsWidget::deleteSelected);
    m_popup->addSeparator();
    add("PopDefault", QStringLiteral("Set as default"), &DestinationsWidget::makeDefault);
    connect(m_lvSCP, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { popupFor(pos)->popup(m_lvSCP->viewport()->mapToGlobal(pos)); });
    UpdateSCP();
}

QMenu *DestinationsWidget::popupFor(const QPoint &pos)
{
    QTreeWidgetItem *hit = m_lvSCP->itemAt(pos);
    if (hit)
        m_lvSCP->setCurrentItem(hit);
    for (QAction *a : m_popup->actions())
        if (!a->isSeparator() && a->objectName() != QLatin1String("PopAddNewSCP"))
            a->setEnabled(hit != nullptr);
    return m_popup;
}

void DestinationsWidget::UpdateSCP()
{
    m_lvSCP->setUpdatesEnabled(false);
    m_lvSCP->clear();
    m_station.trap(QStringLiteral("OptionForm UpdateSCP"), [&] {
        for (const Destination &d : Destinations(m_station).list()) {
            auto *item = new QTreeWidgetItem(m_lvSCP, {d.alias, d.aet, d.ip, d.port,
                                                       d.doseReports ? QStringLiteral("yes") : QString(),
                                                       d.storageCommitment ? QStringLiteral("yes") : QString()});
            item->setData(0, Qt::UserRole, d.id);
            item->setData(DoseReportsColumn, Qt::UserRole, d.doseReports);
            item->setData(CommitmentColumn, Qt::UserRole, d.storageCommitment);
            if (d.isDefault)
                for (int c = 0; c < m_lvSCP->columnCount(); ++c) {
                    QFont f = item->font(c);
                    f.setBold(true);
                    item->setFont(c, f);
                }
        }
    });
    m_lvSCP->setUpdatesEnabled(true);
}

qint64 DestinationsWidget::selectedId() const
{
    QTreeWidgetItem *item = m_lvSCP->currentItem();
    return item ? item->data(0, Qt::UserRole).toLongLong() : 0;
}

void DestinationsWidget::addNew()
{
    AddScpForm dlg(m_station, m_lvSCP->window());
    execDialog(dlg);
    if (dlg.changed())
        UpdateSCP();
}

void DestinationsWidget::editSelected()
{
    QTreeWidgetItem *item = m_lvSCP->currentItem();
    if (!item)
        return;
    AddScpForm dlg(m_station, m_lvSCP->window());
    dlg.editRow(selectedId(), item->text(0), item->text(1), item->text(2), item->text(3),
                item->data(DoseReportsColumn, Qt::UserRole).toBool(),
                item->data(CommitmentColumn, Qt::UserRole).toBool());
    execDialog(dlg);
    if (dlg.changed())
        UpdateSCP();
}

void DestinationsWidget::deleteSelected()
{
    const qint64 id = selectedId();
    if (id == 0)
        return;
    if (m_station.trap(QStringLiteral("OptionForm PopDeleteSCP_Click"), [&] { Destinations(m_station).remove(id); }))
        delete m_lvSCP->currentItem();
    m_lvSCP->clearSelection();
}

void DestinationsWidget::makeDefault()
{
    const qint64 id = selectedId();
    if (id == 0)
        return;
    if (m_station.trap(QStringLiteral("OptionForm PopDefault_Click"), [&] { Destinations(m_station).makeDefault(id); }))
        UpdateSCP();
}
