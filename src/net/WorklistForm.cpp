#include "net/WorklistForm.h"

#include "core/AppError.h"
#include "core/Station.h"
#include "ui/ListHelpers.h"

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const QString Title = QStringLiteral("Quillmark");

// Hourglass for the scope of a query.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};
} // namespace

WorklistForm::WorklistForm(Station &station, QWidget *parent, QueryFn query)
    : QDialog(parent), m_station(station), m_query(std::move(query))
{
    if (!m_query)
        m_query = [](const dicom::WorklistQueryParams &p) { return dicom::queryWorklist(p); };

    setObjectName(QStringLiteral("WorklistForm"));
    setWindowTitle(QStringLiteral("Worklist"));
    setModal(true);
    if (parent)
        setWindowIcon(parent->windowIcon());
    resize(820, 420);

    m_list = ListHelpers::reportList(QStringLiteral("lvWorklist"), WorklistEntry::headings(), this);
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setSortIndicatorShown(true);

    m_ok = new QPushButton(QStringLiteral("Apply"), this);
    m_ok->setObjectName(QStringLiteral("cmdOK"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cmdCancel"));
    m_refresh = new QPushButton(QStringLiteral("Refresh"), this);
    m_refresh->setObjectName(QStringLiteral("cmdRefresh"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_refresh);
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, &WorklistForm::applySelected);
    connect(m_cancel, &QPushButton::clicked, this, &WorklistForm::reject);
    connect(m_refresh, &QPushButton::clicked, this, [this] { fillList(); });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (m_ok->isEnabled())
            applySelected();
    });
    connect(m_list->header(), &QHeaderView::sectionClicked, this,
            [this](int col) { m_list->sortItems(col, Qt::AscendingOrder); });
}

void WorklistForm::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    setColumnWidths();
    m_quiet.start(); // the activation of the first showing does not ask twice
    scheduleFill();
}

bool WorklistForm::event(QEvent *e)
{
    // The list is asked for again each time the operator comes back to the dialog (the
    // day's schedule changes while it stands open), but not for the activation that the
    // dialog's own showing, query or message box brings about.
    if (e->type() == QEvent::WindowActivate && m_shownOnce && !m_querying
        && (!m_quiet.isValid() || m_quiet.elapsed() > QuietMs))
        scheduleFill();
    return QDialog::event(e);
}

void WorklistForm::scheduleFill()
{
    if (m_fillScheduled || m_querying)
        return;
    m_fillScheduled = true;
    // Query once the dialog is on screen, so the operator sees what is waited for.
    QTimer::singleShot(0, this, [this] {
        m_fillScheduled = false;
        fillList();
    });
}

void WorklistForm::message(const QString &text, MsgIcon icon)
{
    m_station.prompter().message(text, icon, Title);
    // Closing the box activates the dialog again; that is not the operator coming back.
    m_quiet.start();
}

void WorklistForm::setColumnWidths()
{
    // Widths in units of a hundredth of the list width (less a margin), as the list was
    // designed in twips: 15 twips to the pixel.
    const int twips = m_list->width() * 15;
    const int u = qMax(0, (twips - 360) / 100);
    const int widths[] = {10, 28, 0, 0, 15, 20, 7, 0, 0, 20};
    for (int c = 0; c < 10; ++c) {
        m_list->setColumnWidth(c, widths[c] * u / 15);
        m_list->setColumnHidden(c, widths[c] == 0);
    }
}

std::vector<dicom::WorklistAnswer> WorklistForm::runQuery(const dicom::WorklistQueryParams &p)
{
    // The association runs beside the window's event loop, so the dialog keeps painting
    // while a slow provider is waited for; the buttons stay off meanwhile.
    std::vector<dicom::WorklistAnswer> answers;
    std::optional<AppError> error;
    QueryFn query = m_query;
    QThread *worker = QThread::create([&] {
        try {
            answers = query(p);
        } catch (const AppError &e) {
            error = e;
        } catch (const std::exception &e) {
            error = AppError(ErrorNo::Network, QString::fromLocal8Bit(e.what()));
        }
    });
    QEventLoop loop;
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    if (!worker->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker->wait();
    delete worker;
    if (error)
        throw *error;
    return answers;
}

bool WorklistForm::fillList()
{
    if (m_querying)
        return false;
    m_querying = true;
    m_ok->setEnabled(false);
    m_refresh->setEnabled(false);
    m_cancel->setEnabled(false);

    std::vector<dicom::WorklistAnswer> answers;
    bool failed = false;
    QString failure;
    {
        WaitCursor wait;
        m_list->clear();
        m_answers.clear();
        try {
            answers = runQuery(Worklist::queryParams(m_station.settings()));
        } catch (const AppError &e) {
            failed = true;
            failure = e.description();
        }
        if (!failed) {
            m_list->setSortingEnabled(false);
            m_list->setUpdatesEnabled(false);
            for (const auto &a : answers) {
                const WorklistEntry e = Worklist::buildEntry(a);
                auto *item = new QTreeWidgetItem(m_list, e.columns);
                // The whole answer stays with its row: the performed step repeats it.
                item->setData(0, Qt::UserRole, qulonglong(m_answers.size()));
                m_answers.push_back(a);
                item->setSelected(false);
            }
            m_list->setUpdatesEnabled(true);
        }
    }
    m_querying = false;
    m_quiet.start();
    m_refresh->setEnabled(true);
    m_cancel->setEnabled(true);

    if (failed) {
        message(failure + QStringLiteral("\r\n\r\nWorklist-Query failed."), MsgIcon::Critical);
        reject();
        return false;
    }
    if (m_list->topLevelItemCount() == 0) {
        m_ok->setEnabled(false);
        message(QStringLiteral("No patients in worklist!"), MsgIcon::Information);
        return true;
    }
    m_list->sortItems(WorklistEntry::Time, Qt::AscendingOrder);
    m_list->setCurrentItem(m_list->topLevelItem(0));
    m_list->topLevelItem(0)->setSelected(true);
    m_ok->setEnabled(true);
    return true;
}

WorklistEntry WorklistForm::entryAt(int row) const
{
    WorklistEntry e;
    if (QTreeWidgetItem *item = m_list->topLevelItem(row)) {
        for (int c = 0; c < WorklistEntry::ColumnCount; ++c)
            e.columns[c] = item->text(c);
        const QVariant index = item->data(0, Qt::UserRole);
        if (index.isValid() && index.toULongLong() < m_answers.size())
            e.answer = m_answers[index.toULongLong()];
    }
    return e;
}

void WorklistForm::applySelected()
{
    if (m_querying)
        return;
    QTreeWidgetItem *item = m_list->currentItem();
    if (!item && !m_list->selectedItems().isEmpty())
        item = m_list->selectedItems().first();
    if (!item)
        return;
    const WorklistEntry e = entryAt(m_list->indexOfTopLevelItem(item));
    m_applied = e;
    accept();
}

void WorklistForm::reject()
{
    // No closing half-way through a query: the worker still writes into this dialog.
    if (m_querying)
        return;
    QDialog::reject();
}

std::optional<WorklistEntry> WorklistForm::pick(Station &station, QWidget *parent,
                                                const std::function<int(QDialog &)> &run)
{
    WorklistForm form(station, parent);
    if (run(form) != QDialog::Accepted)
        return std::nullopt;
    return form.applied();
}
