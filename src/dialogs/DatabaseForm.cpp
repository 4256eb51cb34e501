#include "dialogs/DatabaseForm.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "dialogs/AddTagToDB.h"
#include "edit/DictionaryTable.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/ListHelpers.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
// The stored visibility of a row, to find what Apply must write.
constexpr int StoredVisible = Qt::UserRole + 1;
} // namespace

void DatabaseForm::hookCommand(Station &station, CommandTable &commands, QWidget *parent)
{
    commands.hook(QString::fromLatin1(Cmd::EditDatabase), [&station, parent] {
        DatabaseForm form(station, parent);
        form.exec();
    });
}

DatabaseForm::DatabaseForm(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("DatabaseForm"));
    setWindowTitle(QStringLiteral("Dicom Dictionary"));
    execDialog = [](QDialog &d) { return d.exec(); };
    auto *layout = new QVBoxLayout(this);
    m_lvDatabase = ListHelpers::reportList(QStringLiteral("lvDatabase"),
                                           {QStringLiteral("Visible"), QStringLiteral("DICOM Tag"),
                                            QStringLiteral("VR"), QStringLiteral("DICOM Description")});
    ListHelpers::setColumnWidths(m_lvDatabase, {60, 90, 40, 300});
    layout->addWidget(m_lvDatabase);
    auto *buttons = new QHBoxLayout;
    auto button = [buttons](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption);
        b->setObjectName(QString::fromLatin1(name));
        buttons->addWidget(b);
        return b;
    };
    QPushButton *add = button("cmdAdd", QStringLiteral("Add New"));
    QPushButton *all = button("cmdAll", QStringLiteral("Set all visible"));
    buttons->addStretch();
    QPushButton *apply = button("cmdApply", QStringLiteral("Apply"));
    QPushButton *cancel = button("cmdCancel", QStringLiteral("Cancel"));
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &DatabaseForm::addNew);
    connect(all, &QPushButton::clicked, this, &DatabaseForm::setAllVisible);
    connect(apply, &QPushButton::clicked, this, &DatabaseForm::applyChanges);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_popupList = new QMenu(this);
    m_popupList->setObjectName(QStringLiteral("PopupList"));
    QAction *del = m_popupList->addAction(QStringLiteral("Delete"));
    del->setObjectName(QStringLiteral("PopDelete"));
    connect(m_lvDatabase, &QWidget::customContextMenuRequested, this, [this, del](const QPoint &pos) {
        QTreeWidgetItem *item = m_lvDatabase->itemAt(pos);
        if (!item)
            return;
        m_lvDatabase->setCurrentItem(item);
        if (m_popupList->exec(m_lvDatabase->viewport()->mapToGlobal(pos)) == del)
            deleteRow(item);
    });
    updateDictionary();
    resize(620, 600);
}

void DatabaseForm::updateDictionary()
{
    m_lvDatabase->clear();
    try {
        ListFill fill(m_lvDatabase);
        QList<QTreeWidgetItem *> items;
        for (const DictionaryTable::Row &r : DictionaryTable(m_station.paths()).rows()) {
            auto *item = new QTreeWidgetItem({QString(), r.tag, r.type, r.description});
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, r.visible ? Qt::Checked : Qt::Unchecked);
            item->setData(0, Qt::UserRole, r.index);
            item->setData(0, StoredVisible, r.visible);
            items << item;
        }
        m_lvDatabase->addTopLevelItems(items);
    } catch (const std::exception &e) {
        const ErrorParts p = errorParts(e);
        m_station.logError(e, QStringLiteral("DatabaseForm UpdateDictionary"));
        m_station.prompter().message(QStringLiteral("Fehler #%1: %2").arg(p.number).arg(p.text), MsgIcon::Critical);
    }
}

void DatabaseForm::setAllVisible()
{
    for (int i = 0; i < m_lvDatabase->topLevelItemCount(); ++i)
        m_lvDatabase->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

void DatabaseForm::applyChanges()
{
    if (!m_station.prompter().askYesNo(QStringLiteral("Apply changes?")))
        return;
    QList<std::pair<qint64, bool>> changes;
    for (int i = 0; i < m_lvDatabase->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_lvDatabase->topLevelItem(i);
        const bool checked = item->checkState(0) == Qt::Checked;
        if (checked != item->data(0, StoredVisible).toBool())
            changes.append({item->data(0, Qt::UserRole).toLongLong(), checked});
    }
    if (m_station.trapAndShow(QStringLiteral("DatabaseForm cmdApply_Click"),
                              [&] { DictionaryTable(m_station.paths()).setVisible(changes); }))
        accept();
}

void DatabaseForm::deleteRow(QTreeWidgetItem *item)
{
    if (!item)
        return;
    if (m_station.trapAndShow(QStringLiteral("DatabaseForm PopDelete_Click"), [&] {
            DictionaryTable(m_station.paths()).remove(item->data(0, Qt::UserRole).toLongLong());
        }))
        delete item;
}

void DatabaseForm::addNew()
{
    AddTagToDB dlg(m_station, this);
    if (execDialog(dlg) == QDialog::Accepted)
        updateDictionary();
}
