#include "edit/AddTagForm.h"
#include "core/Station.h"
#include "edit/ModalityFilters.h"
#include "ui/ListHelpers.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

AddTagForm::AddTagForm(Station &station, const QString &filter, QWidget *parent)
    : QDialog(parent), m_station(station), m_filter(filter)
{
    setObjectName(QStringLiteral("AddTagForm"));
    setWindowTitle(QStringLiteral("Add DicomTag ..."));
    auto *layout = new QVBoxLayout(this);
    m_lvDictionary = ListHelpers::reportList(QStringLiteral("lvDictionary"),
                                             {QStringLiteral("Tag"), QStringLiteral("Beschreibung")});
    m_lvDictionary->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListHelpers::setColumnWidths(m_lvDictionary, {90, 300});
    layout->addWidget(m_lvDictionary);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *add = new QPushButton(QStringLiteral("Apply"));
    add->setObjectName(QStringLiteral("cmdAdd"));
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(add);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &AddTagForm::apply);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_station.trap(QStringLiteral("AddTagForm Form_Load"), [&] {
        ListFill fill(m_lvDictionary);
        for (const DictionaryTag &t : ModalityFilters(m_station.paths()).candidates(m_filter)) {
            auto *item = new QTreeWidgetItem(m_lvDictionary, {t.tag, t.description});
            item->setData(0, Qt::UserRole, t.index);
        }
    });
    // Sorted by the clicked column; the sort column clicked again reverses.
    m_lvDictionary->setSortingEnabled(true);
    m_lvDictionary->sortByColumn(0, Qt::AscendingOrder);
    if (m_lvDictionary->topLevelItemCount() > 0)
        m_lvDictionary->setCurrentItem(m_lvDictionary->topLevelItem(0));
    resize(460, 520);
}

void AddTagForm::apply()
{
    m_applied = true;
    QStringList tags;
    for (QTreeWidgetItem *item : m_lvDictionary->selectedItems())
        tags << item->text(0);
    m_station.trapAndShow(QStringLiteral("AddTagForm cmdAdd_Click"),
                          [&] { ModalityFilters(m_station.paths()).addTags(m_filter, tags); });
    accept();
}
