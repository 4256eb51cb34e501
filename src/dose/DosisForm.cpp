#include "dose/DosisForm.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dose/DoseList.h"
#include "dose/DosisFormQuery.h"
#include "ui/ListHelpers.h"

#include <QCalendarWidget>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

DosisForm::DosisForm(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("DosisForm"));
    setWindowTitle(QStringLiteral("Reload Dosis"));
    setModal(true);
    if (parent)
        setWindowIcon(parent->windowIcon());
    resize(820, 460);

    m_id = new QLineEdit(this);
    m_id->setObjectName(QStringLiteral("txtID"));
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("txtPatname"));
    m_calendar = new QCalendarWidget(this);
    m_calendar->setObjectName(QStringLiteral("MonthView1"));
    m_calendar->setSelectedDate(QDate::currentDate());
    m_list = ListHelpers::reportList(QStringLiteral("ListView1"),
                                     {QStringLiteral("ID"), QStringLiteral("Patient Name"), QStringLiteral("Date"),
                                      QStringLiteral("Time"), QStringLiteral("Projection"), QStringLiteral("Room")});
    // Room last and in sight without scrolling.
    ListHelpers::setColumnWidths(m_list, {44, 130, 78, 64, 84, 80});
    // The room filter: every room of the site's registry, or only the one chosen.
    m_room = new QComboBox(this);
    m_room->setObjectName(QStringLiteral("cboRoom"));
    m_room->addItem(QStringLiteral("All rooms"), QString());
    m_station.trap(QStringLiteral("DosisForm Rooms"), [&] {
        for (const QString &r : DosisFormQuery::rooms(m_station))
            m_room->addItem(r, r);
    });

    auto button = [this](const char *name, const char *caption) {
        auto *b = new QPushButton(QString::fromLatin1(caption), this);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    QPushButton *search = button("cmdSearch", "Search");
    QPushButton *all = button("cmdMod", "All");
    QPushButton *setFree = button("cmdFree", "Set Free");
    m_setFree = setFree;
    QPushButton *close = button("cmdClose", "Close");

    auto *form = new QFormLayout;
    form->addRow(new QLabel(QStringLiteral("PatID:"), this), m_id);
    form->addRow(new QLabel(QStringLiteral("Patient Name:"), this), m_name);
    form->addRow(new QLabel(QStringLiteral("Room:"), this), m_room);
    auto *left = new QVBoxLayout;
    left->addLayout(form);
    left->addWidget(m_calendar);
    left->addStretch();
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(search);
    buttons->addWidget(all);
    buttons->addWidget(setFree);
    buttons->addStretch();
    buttons->addWidget(close);
    auto *right = new QVBoxLayout;
    right->addWidget(m_list);
    right->addLayout(buttons);
    auto *layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right, 1);

    connect(search, &QPushButton::clicked, this, &DosisForm::DosisListFill);
    connect(all, &QPushButton::clicked, this, &DosisForm::fillAll);
    connect(setFree, &QPushButton::clicked, this, &DosisForm::updateDosisDB);
    connect(close, &QPushButton::clicked, this, &DosisForm::accept);
    connect(m_calendar, &QCalendarWidget::clicked, this, [this] { DosisListFill(); });
    connect(m_room, &QComboBox::currentIndexChanged, this, [this] { DosisListFill(); });
    // Only the room that captured a record can give it back to its open list.
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto sel = m_list->selectedItems();
        m_setFree->setEnabled(sel.isEmpty() || sel.first()->data(0, Qt::UserRole).toLongLong() != 0);
    });

    DosisListFill();
}

void DosisForm::fill(bool withDate)
{
    m_list->setSortingEnabled(false);
    m_list->clear();
    QCoreApplication::processEvents();
    m_station.trap(QStringLiteral("DosisForm DosisListFill"), [&] {
        const auto rows =
            DosisFormQuery::search(m_station, m_id->text(), m_name->text(),
                                   withDate ? std::optional<QDate>(m_calendar->selectedDate()) : std::nullopt,
                                   m_room->currentData().toString());
        for (const auto &r : rows) {
            auto *item = new NumericSortItem(m_list, r.cells, {0});
            item->setData(0, Qt::UserRole, r.localId);
        }
    });
    m_list->setSortingEnabled(true);
    m_list->sortByColumn(0, Qt::AscendingOrder);
}

void DosisForm::DosisListFill() { fill(true); }

void DosisForm::fillAll() { fill(false); }

void DosisForm::updateDosisDB()
{
    const auto sel = m_list->selectedItems();
    if (sel.isEmpty())
        return;
    const qint64 id = sel.first()->data(0, Qt::UserRole).toLongLong();
    if (id == 0)
        return;
    try {
        DoseList::setFree(m_station, id);
    } catch (const std::exception &e) {
        m_station.logError(e, QStringLiteral("DosisForm updateDosisDB"));
        return;
    }
    DosisListFill();
}
