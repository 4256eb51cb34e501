#include "edit/FilterPage.h"
#include "core/Station.h"
#include "edit/AddTagForm.h"
#include "edit/ModalityFilters.h"
#include "ui/InputBoxForm.h"
#include "ui/ListHelpers.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

FilterPage::FilterPage(Station &station, QWidget *parent) : OptionsPage(parent), m_station(station)
{
    setObjectName(QStringLiteral("pageFilter"));
    execDialog = [](QDialog &d) { return d.exec(); };
    buildControls();
    fillNames();
}

void FilterPage::buildControls()
{
    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Name of filter:")));
    m_cboModality = new QComboBox;
    m_cboModality->setObjectName(QStringLiteral("cboModality"));
    m_cboModality->setMinimumWidth(160);
    top->addWidget(m_cboModality);
    auto button = [](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    QPushButton *cmdNew = button("cmdNew", QStringLiteral("New ..."));
    QPushButton *cmdDelMod = button("cmdDelMod", QStringLiteral("Delete"));
    m_cmdActivate = button("cmdActivate", QStringLiteral("activate"));
    m_cmdActivate->setEnabled(false);
    top->addWidget(cmdNew);
    top->addWidget(cmdDelMod);
    top->addWidget(m_cmdActivate);
    top->addStretch();
    layout->addLayout(top);

    m_lvTags = ListHelpers::reportList(QStringLiteral("lvTags"),
                                       {QStringLiteral("DICOM Tag"), QStringLiteral("DICOM Description")});
    m_lvTags->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListHelpers::setColumnWidths(m_lvTags, {110, 300});
    layout->addWidget(m_lvTags, 1);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch();
    QPushButton *cmdAdd = button("cmdAdd", QStringLiteral("add ..."));
    QPushButton *cmdDelete = button("cmdDelete", QStringLiteral("remove"));
    bottom->addWidget(cmdAdd);
    bottom->addWidget(cmdDelete);
    layout->addLayout(bottom);

    connect(m_cboModality, &QComboBox::activated, this, [this](int i) { chooseFilter(m_cboModality->itemText(i)); });
    connect(cmdNew, &QPushButton::clicked, this, &FilterPage::newFilter);
    connect(cmdDelMod, &QPushButton::clicked, this, &FilterPage::deleteFilter);
    connect(m_cmdActivate, &QPushButton::clicked, this, &FilterPage::activate);
    connect(cmdAdd, &QPushButton::clicked, this, &FilterPage::addTags);
    connect(cmdDelete, &QPushButton::clicked, this, &FilterPage::removeTags);
}

void FilterPage::fillNames()
{
    m_station.trap(QStringLiteral("OptionForm Form_Load"), [&] {
        m_cboModality->clear();
        m_cboModality->addItems(ModalityFilters(m_station.paths()).names());
        m_cboModality->setCurrentIndex(-1);
    });
}

void FilterPage::chooseFilter(const QString &name)
{
    m_edited = name;
    m_cboModality->setCurrentIndex(m_cboModality->findText(name));
    m_cmdActivate->setEnabled(!name.isEmpty() && name != m_station.settings().filterActive);
    m_lvTags->setSortingEnabled(false);
    m_lvTags->clear();
    m_station.trap(QStringLiteral("OptionForm cboModality_Click"), [&] {
        if (name.isEmpty())
            return;
        ListFill fill(m_lvTags);
        for (const DictionaryTag &t : ModalityFilters(m_station.paths()).tags(name)) {
            auto *item = new QTreeWidgetItem(m_lvTags, {t.tag, t.description});
            item->setData(0, Qt::UserRole, t.index);
        }
    });
    // Qt's header starts descending; the list reads by tag.
    m_lvTags->setSortingEnabled(true);
    m_lvTags->sortByColumn(0, Qt::AscendingOrder);
    if (m_lvTags->topLevelItemCount() > 0)
        m_lvTags->setCurrentItem(m_lvTags->topLevelItem(0));
}

void FilterPage::writeActive(const QString &name)
{
    m_station.settings().filterActive = name;
    m_station.settingsStore().writeValue(QStringLiteral("Filter/Active"), name);
}

void FilterPage::activate()
{
    if (!m_edited.isEmpty())
        writeActive(m_edited);
    else
        m_station.prompter().message(QStringLiteral("No filter selected!"), MsgIcon::Information);
    m_cmdActivate->setEnabled(false);
}

void FilterPage::addTags()
{
    if (m_edited.isEmpty()) {
        m_station.prompter().message(QStringLiteral("No filter selected!"), MsgIcon::Information);
        return;
    }
    AddTagForm form(m_station, m_edited, m_cboModality->window());
    execDialog(form);
    chooseFilter(m_edited);
    if (form.applied())
        activate();
}

void FilterPage::removeTags()
{
    const QList<QTreeWidgetItem *> selected = m_lvTags->selectedItems();
    if (m_edited.isEmpty() || selected.isEmpty())
        return;
    QList<qint64> indexes;
    for (QTreeWidgetItem *item : selected)
        indexes << item->data(0, Qt::UserRole).toLongLong();
    if (m_station.trapAndShow(QStringLiteral("OptionForm cmdDelete_Click"),
                              [&] { ModalityFilters(m_station.paths()).removeTags(m_edited, indexes); }))
        qDeleteAll(selected);
}

void FilterPage::newFilter()
{
    InputBoxForm box(QStringLiteral("max. 2 chars (i.e. CT, MR or CR)"), m_cboModality->window());
    box.setCaption(QStringLiteral("Add new filter"));
    execDialog(box);
    if (box.isCancelled())
        return;
    const QString name = box.text().trimmed().toUpper();
    if (name.isEmpty())
        return;
    // The name becomes a column of the dictionary: refused before any statement runs.
    if (const QString problem = ModalityFilters::nameProblem(name); !problem.isEmpty()) {
        m_station.prompter().message(problem, MsgIcon::Information);
        return;
    }
    const bool ok = m_station.trapAndShow(QStringLiteral("cmdNew_Click"), [&] {
        if (ModalityFilters(m_station.paths()).create(name)) {
            // Kept in the list's order.
            int at = 0;
            while (at < m_cboModality->count() && m_cboModality->itemText(at) < name)
                ++at;
            m_cboModality->insertItem(at, name);
        }
    });
    if (ok)
        chooseFilter(name);
}

void FilterPage::deleteFilter()
{
    if (m_edited.isEmpty()) {
        m_station.prompter().message(QStringLiteral("No filter selected!"), MsgIcon::Information);
        return;
    }
    const QString name = m_edited;
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete filter \"%1\"?").arg(name)))
        return;
    if (!m_station.trapAndShow(QStringLiteral("OptionForm cmdDelMod_Click"),
                               [&] { ModalityFilters(m_station.paths()).remove(name); }))
        return;
    if (m_station.settings().filterActive == name)
        writeActive(QString());
    m_cboModality->removeItem(m_cboModality->findText(name));
    m_cboModality->setCurrentIndex(-1);
    m_lvTags->clear();
    m_edited.clear();
    m_cmdActivate->setEnabled(false);
}
