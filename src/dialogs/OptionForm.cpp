#include "dialogs/OptionForm.h"
#include "core/Station.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

OptionForm::OptionForm(Station &station, const std::vector<OptionsPageFactory> &pages, QWidget *parent)
    : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("Options"));
    auto *layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget;
    m_tabs->setObjectName(QStringLiteral("SSTab1"));
    for (const OptionsPageFactory &make : pages) {
        OptionsPage *page = make(m_station);
        m_pages.push_back(page);
        m_tabs->addTab(page, page->title());
        page->load(m_station.settings());
        connect(page, &OptionsPage::appliedAtOnce, this, &OptionForm::unitTypeChanged);
    }
    layout->addWidget(m_tabs);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int index) {
        if (index >= 0 && index < int(m_pages.size()))
            m_pages[index]->chosen();
    });

    auto *buttons = new QHBoxLayout;
    // Why OK did not close the dialog, beside the button.
    m_problem = new QLabel;
    m_problem->setObjectName(QStringLiteral("lblProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    m_problem->hide();
    buttons->addWidget(m_problem, 1);
    buttons->addStretch();
    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &OptionForm::okClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    resize(640, 520);
}

void OptionForm::showProblem(const OptionsPage::Refusal &refusal)
{
    m_problem->setText(refusal.text);
    m_problem->show();
    for (int i = 0; i < m_tabs->count(); ++i)
        if (m_tabs->widget(i)->isAncestorOf(refusal.field))
            m_tabs->setCurrentIndex(i);
    refusal.field->setFocus(Qt::OtherFocusReason);
    if (auto *box = qobject_cast<QLineEdit *>(refusal.field))
        box->selectAll();
}

void OptionForm::okClicked()
{
    for (OptionsPage *page : m_pages) {
        if (const auto refusal = page->check()) {
            showProblem(*refusal);
            return;
        }
    }
    m_problem->hide();
    Settings &s = m_station.settings();
    // What memory held before OK, should the settings not reach the store.
    const Settings before = s;
    for (OptionsPage *page : m_pages)
        page->store(s);
    m_station.saveSettings();
    // The store keeps its first write error: writing the last value once more and
    // syncing tells whether the whole save reached the disk.
    if (!m_station.settingsStore().writeValue(QStringLiteral("Filter/Active"), s.filterActive)) {
        s = before;
        m_station.prompter().message(
            QStringLiteral("The settings could not be saved: the settings file cannot be written (read-only, or its "
                           "folder is missing or full). Nothing was changed; the dialog stays open."),
            MsgIcon::Critical, QStringLiteral("Options"));
        return;
    }
    emit unitTypeChanged();
    emit saved();
    accept();
}
