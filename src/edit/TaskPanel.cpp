#include "edit/TaskPanel.h"
#include "core/AppError.h"
#include "core/Companions.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/Image.h"
#include "dicom/Uid.h"
#include "dicom/ValueCheck.h"
#include "edit/EditSession.h"
#include "edit/HeaderState.h"
#include "edit/RuleSets.h"
#include "edit/StudyUpdate.h"
#include "edit/TaskApplier.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/ListHelpers.h"
#include "ui/MainHooks.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

TaskPanel::TaskPanel(Station &station, StoreSelection &selection, EditSession &edits, HeaderState &header,
                     CommandTable &commands, MainHooks &hooks, QWidget *parent)
    : QObject(parent), m_station(station), m_selection(selection), m_edits(edits), m_header(header),
      m_commands(commands), m_hooks(hooks)
{
    buildControls(parent);
    execDialog = [](QDialog &d) { return d.exec(); };
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

    connect(m_cmdTask[0], &QPushButton::clicked, this, &TaskPanel::addTask);
    connect(m_cmdTask[1], &QPushButton::clicked, this, &TaskPanel::deleteTask);
    connect(m_lvTasks, &QTreeWidget::itemSelectionChanged, this, &TaskPanel::updateButtons);
    connect(&m_selection, &StoreSelection::studyOpened, this, &TaskPanel::updateButtons);
    connect(&m_selection, &StoreSelection::imagePicked, this, &TaskPanel::updateButtons);
    m_lvTasks->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_lvTasks, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        if (QMenu *menu = m_commands.menu(QString::fromLatin1(Menu::TaskList)))
            menu->popup(m_lvTasks->viewport()->mapToGlobal(at));
    });
    m_commands.hook(QString::fromLatin1(Cmd::TaskListClear), [this] { m_lvTasks->clear(); });
    m_commands.hook(QString::fromLatin1(Cmd::TaskListSaveAs), [this] { saveRuleSet(); });
    m_commands.hook(QString::fromLatin1(Cmd::ApplyTasks), [this] { applyTasks(); });
    if (QMenu *rules = m_commands.menu(QString::fromLatin1(Menu::Rules))) {
        connect(rules, &QMenu::triggered, this, [this](QAction *a) {
            // The "No entries" item carries no tag.
            if (a->data().toString() == QLatin1String("x"))
                loadRuleSet(a->text());
        });
    }
    // What an update cut off last time left in the staging folder goes on first.
    hooks.prepareDataFiles.push_back([this] {
        m_station.trap(StudyUpdate::Procedure, [&] { StudyUpdate::recover(m_station.paths(), m_station.log()); });
    });
    // The rule set names are in the menu from the start.
    hooks.initializeControls.push_back([this] { updateRulesPopup(); });
}

void TaskPanel::buildControls(QWidget *parent)
{
    m_page = new QWidget(parent);
    auto *layout = new QGridLayout(m_page);
    layout->setContentsMargins(4, 4, 4, 4);
    m_cboLevel = new QComboBox;
    m_cboLevel->setObjectName(QStringLiteral("cboLevel"));
    m_cboLevel->addItems(
        {QStringLiteral("Patient"), QStringLiteral("Study"), QStringLiteral("Series"), QStringLiteral("Image")});
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
    m_selectedValue = value;
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
    updateButtons();
}

void TaskPanel::clearEditors()
{
    m_lvTasks->clear();
    m_txtSelected->clear();
    m_txtNeu->clear();
    m_txtNeu->setEnabled(true);
    m_cboTask->setEnabled(true);
    m_selectedValue.clear();
    taskTypeChanged();
    updateButtons();
}

void TaskPanel::updateButtons()
{
    m_cmdTask[0]->setEnabled(!m_txtSelected->text().isEmpty() && !m_selection.viewerFiles().isEmpty());
    m_cmdTask[1]->setEnabled(m_lvTasks->currentItem() && m_lvTasks->currentItem()->isSelected());
}

QList<Task> TaskPanel::tasks() const
{
    QList<Task> out;
    for (int i = 0; i < m_lvTasks->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *it = m_lvTasks->topLevelItem(i);
        out << Task{it->text(0), it->text(1), it->text(2), it->text(3), it->text(4), it->data(0, Qt::UserRole).toInt()};
    }
    return out;
}

void TaskPanel::appendTask(const Task &task)
{
    auto *it = new QTreeWidgetItem({task.level, task.source, task.value, task.task, task.target});
    it->setData(0, Qt::UserRole, task.type);
    m_lvTasks->addTopLevelItem(it);
}

void TaskPanel::addTask()
{
    m_station.trap(QStringLiteral("MainForm cmdTask_Click"), [&] {
        if (m_txtSelected->text().isEmpty())
            return;
        Task t;
        t.level = m_cboLevel->currentText();
        if (t.level == QLatin1String("Series") && m_selection.loadLevel() == QLatin1String("Studie")) {
            m_station.prompter().message(QStringLiteral("Cannot create series task on study level."),
                                         MsgIcon::Information);
            return;
        }
        if (t.level == QLatin1String("Image")) {
            if (m_selection.currentImage() <= 0) {
                m_station.prompter().message(QStringLiteral("Please select an image first."), MsgIcon::Information);
                return;
            }
            t.level += QStringLiteral(" #") + QString::number(m_selection.currentImage());
        }
        t.source = m_txtSelected->text();
        t.value = m_selectedValue;
        t.type = qMax(0, m_cboTask->currentIndex());
        t.task = Task::typeText(t.type);
        if (t.type == Task::Change) {
            t.target = HeaderState::isInstanceUid(t.sourceTag()) ? dicom::newUid() : m_txtNeu->text();
        } else {
            t.target = m_cboTarget->currentText();
            if (t.target.isEmpty()) {
                m_station.prompter().message(QStringLiteral("Please select a target element."), MsgIcon::Information);
                return;
            }
        }
        // A task that cannot be carried out is refused now, with the rule it breaks,
        // not when the update runs.
        if (const QString why = refusal(t); !why.isEmpty()) {
            m_station.prompter().message(why, MsgIcon::Information);
            return;
        }
        appendTask(t);
    });
}

QString TaskPanel::refusal(const Task &t) const
{
    try {
        TaskApplier::checkTask(t);
        if (t.type != Task::Change || HeaderState::isInstanceUid(t.sourceTag()))
            return {};
        quint16 g = 0, e = 0;
        Task::parseTag(t.sourceTag(), &g, &e);
        // The element's representation as the image in view holds it.
        const QString file = m_selection.currentImageFile().isEmpty() && !m_selection.viewerFiles().isEmpty()
                                 ? m_selection.viewerFiles().first()
                                 : m_selection.currentImageFile();
        if (file.isEmpty())
            return {};
        const auto image = dicom::Image::readFile(file);
        if (const QString why = dicom::valueProblem(*image, g, e, t.target); !why.isEmpty())
            return QStringLiteral("\"%1\" cannot be written into %2: %3").arg(t.target.left(80), t.source, why);
    } catch (const AppError &e) {
        return e.description();
    }
    return {};
}

void TaskPanel::deleteTask()
{
    QTreeWidgetItem *it = m_lvTasks->currentItem();
    if (!it || !it->isSelected())
        return;
    delete it;
    m_lvTasks->setCurrentItem(nullptr);
    m_lvTasks->clearSelection();
    updateButtons();
}

void TaskPanel::saveRuleSet()
{
    RuleSets(m_station).save(tasks());
    updateRulesPopup();
}

void TaskPanel::updateRulesPopup()
{
    QMenu *menu = m_commands.menu(QString::fromLatin1(Menu::Rules));
    if (!menu)
        return;
    m_station.trap(RuleSets::MenuProcedure, [&] {
        const QList<QAction *> actions = menu->actions();
        for (int i = 1; i < actions.size(); ++i) {
            menu->removeAction(actions[i]);
            delete actions[i];
        }
        QAction *first = actions.isEmpty() ? menu->addAction(QString()) : actions.first();
        first->setText(QStringLiteral("No entries"));
        first->setData(QString());
        first->setEnabled(false);
        const QStringList names = RuleSets(m_station).names();
        for (int i = 0; i < names.size(); ++i) {
            QAction *a = i == 0 ? first : menu->addAction(QString());
            a->setText(names[i]);
            a->setData(QStringLiteral("x"));
            a->setEnabled(true);
        }
    });
}

void TaskPanel::loadRuleSet(const QString &name)
{
    if (m_selection.viewerFiles().isEmpty())
        return;
    bool loaded = false;
    m_station.trap(RuleSets::LoadProcedure, [&] {
        for (const Task &t : RuleSets(m_station).load(name)) {
            appendTask(t);
            QCoreApplication::processEvents();
        }
        loaded = true;
    });
    if (loaded && m_station.prompter().askYesNo(QStringLiteral("Execute tasks now?")))
        applyTasks();
}

void TaskPanel::applyTasks()
{
    // Rewriting takes the loaded images from the database; while the viewer still loads,
    // what is loaded is not settled yet.
    if (m_station.busy) {
        m_station.prompter().message(QStringLiteral("The images are still loading. Please wait until they are shown."),
                                     MsgIcon::Information);
        return;
    }
    if (m_selection.viewerFiles().isEmpty() || m_selection.studyUid().isEmpty() || m_selection.loadLevel().isEmpty()) {
        m_station.prompter().message(QStringLiteral("No images loaded. Please open a study or series first."),
                                     MsgIcon::Information);
        return;
    }
    StudyUpdate::Loaded loaded;
    loaded.loadLevel = m_selection.loadLevel();
    loaded.patId = m_selection.patId();
    loaded.studyUid = m_selection.studyUid();
    loaded.seriesId = m_selection.seriesId();
    loaded.viewerFiles = m_selection.viewerFiles();
    const QList<Task> list = tasks();
    // The current image is forgotten: its file is about to be replaced.
    if (!m_selection.clearCurrentImage())
        m_selection.notifyImagePicked();

    EditForm::Job job;
    job.operation = EditForm::UpdateStudy;
    job.procedure = StudyUpdate::Procedure;
    job.work = [this, list, loaded](EditForm &form) { StudyUpdate(m_station, form).run(list, loaded); };
    {
        EditForm form(m_station, std::move(job), &m_hooks, m_page ? m_page->window() : nullptr);
        execDialog(form);
    }
    // The rewritten images are filed by the data manager: without it they would seem lost.
    if (const QString note = Companions::ensureDataManager(m_station); !note.isEmpty())
        m_station.prompter().message(note, MsgIcon::Information);
    m_lvTasks->clear();
    m_txtSelected->clear();
    m_selectedValue.clear();
    // The patient list is rebuilt, which empties the study and series lists and the
    // viewer; the refiled images come back with the data manager's notification.
    m_station.timerRefresh = false;
    m_commands.run(QString::fromLatin1(Cmd::RefreshList));
    updateButtons();
}
