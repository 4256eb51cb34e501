#include "edit/TaskPanel.h"
#include "core/EditSession.h"
#include "ui/ListHelpers.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

TaskPanel::TaskPanel(EditSession &edits, QWidget *parent) : QObject(parent), m_edits(edits)
{
    buildControls(parent);
    auto count = [this] { m_edits.setPendingTasks(m_lvTasks->topLevelItemCount()); };
    connect(m_lvTasks->model(), &QAbstractItemModel::rowsInserted, this, count);
    connect(m_lvTasks->model(), &QAbstractItemModel::rowsRemoved, this, count);
    connect(m_lvTasks->model(), &QAbstractItemModel::modelReset, this, count);
    connect(&m_edits, &EditSession::cleared, this, &TaskPanel::clearEditors);
    // A dose row clicked while the editor can take a value becomes a task.
    connect(&m_edits, &EditSession::doseValueOffered, this, [this] {
        if (m_cmdAddTask->isEnabled())
            m_cmdAddTask->click();
    });
}

void TaskPanel::buildControls(QWidget *parent)
{
    m_page = new QWidget(parent);
    auto *layout = new QGridLayout(m_page);
    layout->setContentsMargins(4, 4, 4, 4);
    m_txtSelElement = new QLineEdit;
    m_txtSelElement->setObjectName(QStringLiteral("txtSelElement"));
    m_txtSelElement->setReadOnly(true);
    m_txtSelElement->setPlaceholderText(QStringLiteral("element"));
    m_cboTask = new QComboBox;
    m_cboTask->setObjectName(QStringLiteral("cboTask"));
    m_txtValue = new QLineEdit;
    m_txtValue->setObjectName(QStringLiteral("txtValue"));
    m_txtValue->setPlaceholderText(QStringLiteral("value or target tag"));
    m_cmdAddTask = new QPushButton(QStringLiteral("Add Task"));
    m_cmdAddTask->setObjectName(QStringLiteral("cmdAddTask"));
    m_cmdAddTask->setEnabled(false);
    layout->addWidget(new QLabel(QStringLiteral("Element:")), 0, 0);
    layout->addWidget(m_txtSelElement, 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("Task:")), 1, 0);
    layout->addWidget(m_cboTask, 1, 1);
    layout->addWidget(new QLabel(QStringLiteral("Value:")), 2, 0);
    layout->addWidget(m_txtValue, 2, 1);
    layout->addWidget(m_cmdAddTask, 3, 1, Qt::AlignRight);
    m_lvTasks = ListHelpers::reportList(QStringLiteral("lvTasks"),
                                        {QStringLiteral("Level"), QStringLiteral("Source"), QStringLiteral("Value"),
                                         QStringLiteral("Task"), QStringLiteral("Target")});
    layout->addWidget(m_lvTasks, 4, 0, 1, 2);
    layout->setRowStretch(4, 1);
}

void TaskPanel::clearEditors()
{
    m_lvTasks->clear();
    m_txtSelElement->clear();
    m_cboTask->setCurrentIndex(-1);
    m_txtValue->clear();
}
