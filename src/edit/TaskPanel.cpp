#include "edit/TaskPanel.h"
#include "core/EditSession.h"
#include "edit/HeaderState.h"
#include "ui/ListHelpers.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

TaskPanel::TaskPanel(EditSession &edits, HeaderState &header, QWidget *parent)
    : QObject(parent), m_edits(edits), m_header(header)
{
    buildControls(parent);
    auto count = [this] { m_edits.setPendingTasks(m_lvTasks->topLevelItemCount()); };
    connect(m_lvTasks->model(), &QAbstractItemModel::rowsInserted, this, count);
    connect(m_lvTasks->model(), &QAbstractItemModel::rowsRemoved, this, count);
    connect(m_lvTasks->model(), &QAbstractItemModel::modelReset, this, count);
    connect(&m_edits, &EditSession::cleared, this, &TaskPanel::clearEditors);
    // A dose row clicked while the editor can take a value becomes a task.
    connect(&m_edits, &EditSession::doseValueOffered, this, [this] {
        if (m_cmdTask[0]->isEnabled())
            m_cmdTask[0]->click();
    });
    connect(&m_header, &HeaderState::elementSelected, this, &TaskPanel::elementSelected);
    connect(&m_header, &HeaderState::filterSetChanged, this, [this] {
        if (m_cboTask->currentIndex() > 0)
            taskTypeChanged();
    });
    connect(m_cboTask, &QComboBox::currentIndexChanged, this, &TaskPanel::taskTypeChanged);
    taskTypeChanged();
}

void TaskPanel::buildControls(QWidget *parent)
{
    m_page = new QWidget(parent);
    auto *layout = new QGridLayout(m_page);
    layout->setContentsMargins(4, 4, 4, 4);
    m_cboLevel = new QComboBox;
    m_cboLevel->setObjectName(QStringLiteral("cboLevel"));
    m_cboLevel->addItems({QStringLiteral("Patient"), QStringLiteral("Study"), QStringLiteral("Series"), QStringLiteral("Image")});
    m_cboLevel->setCurrentIndex(3);
    m_txtSelected = new QLineEdit;
    m_txtSelected->setObjectName(QStringLiteral("txtSelected"));
    m_txtSelected->setReadOnly(true);
    m_txtSelected->setPlaceholderText(QStringLiteral("click an element in the header list"));
    m_cboTask = new QComboBox;
    m_cboTask->setObjectName(QStringLiteral("cboTask"));
    m_cboTask->addItems({QStringLiteral("Change entry"), QStringLiteral("Move entry"), QStringLiteral("Switch entry")});
    m_cboTask->setCurrentIndex(0);
    m_txtNeu = new QLineEdit;
    m_txtNeu->setObjectName(QStringLiteral("txtNeu"));
    // Header values can be long; the box keeps them whole.
    m_txtNeu->setMaxLength(1 << 20);
    m_cboTarget = new QComboBox;
    m_cboTarget->setObjectName(QStringLiteral("cboTarget"));
    const QString captions[2] = {QStringLiteral("Add Task"), QStringLiteral("Delete Task")};
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    for (int i = 0; i < 2; ++i) {
        m_cmdTask[i] = new QPushButton(captions[i]);
        m_cmdTask[i]->setObjectName(QStringLiteral("cmdTask_%1").arg(i));
        m_cmdTask[i]->setEnabled(false);
        buttons->addWidget(m_cmdTask[i]);
    }
    layout->addWidget(new QLabel(QStringLiteral("Level:")), 0, 0);
    layout->addWidget(m_cboLevel, 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("Element:")), 1, 0);
    layout->addWidget(m_txtSelected, 1, 1);
    layout->addWidget(new QLabel(QStringLiteral("Task:")), 2, 0);
    layout->addWidget(m_cboTask, 2, 1);
    layout->addWidget(new QLabel(QStringLiteral("Value:")), 3, 0);
    // The new value and the target share the row: one of them is shown.
    auto *valueRow = new QHBoxLayout;
    valueRow->setContentsMargins(0, 0, 0, 0);
    valueRow->addWidget(m_txtNeu);
    valueRow->addWidget(m_cboTarget);
    layout->addLayout(valueRow, 3, 1);
    layout->addLayout(buttons, 4, 0, 1, 2);
    m_lvTasks = ListHelpers::reportList(QStringLiteral("lvTasks"),
                                        {QStringLiteral("Level"), QStringLiteral("Source"), QStringLiteral("Value"),
                                         QStringLiteral("Task"), QStringLiteral("Target")});
    layout->addWidget(m_lvTasks, 5, 0, 1, 2);
    layout->setRowStretch(5, 1);
    layout->setColumnStretch(1, 1);
}

void TaskPanel::taskTypeChanged()
{
    m_cboTarget->clear();
    if (m_cboTask->currentIndex() <= 0) {
        m_cboTarget->hide();
        m_txtNeu->show();
        return;
    }
    m_txtNeu->hide();
    m_cboTarget->show();
    const QString selected = m_txtSelected->text().left(9);
    for (const FilterEntry &e : m_header.filterSet()) {
        if (e.tag != selected)
            m_cboTarget->addItem(e.tag + QStringLiteral(" - ") + e.description);
    }
}

void TaskPanel::elementSelected(const QString &tag, const QString &description, const QString &value)
{
    m_txtSelected->setText(tag + QStringLiteral(" - ") + description);
    m_txtNeu->setText(value);
    m_txtNeu->setCursorPosition(0);
    const bool uid = HeaderState::isInstanceUid(tag);
    if (uid) {
        m_txtNeu->setText(QStringLiteral("New UID"));
        m_cboTask->setCurrentIndex(0);
    }
    m_txtNeu->setEnabled(!uid);
    m_cboTask->setEnabled(!uid);
    // The target list must not offer the element just selected.
    if (m_cboTask->currentIndex() > 0)
        taskTypeChanged();
}

void TaskPanel::clearEditors()
{
    m_lvTasks->clear();
    m_txtSelected->clear();
    m_txtNeu->clear();
    m_txtNeu->setEnabled(true);
    m_cboTask->setEnabled(true);
    taskTypeChanged();
}
