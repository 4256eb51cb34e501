#include "store/QuarantineForm.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "ui/ListHelpers.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

QuarantineForm::QuarantineForm(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("QuarantineForm"));
    setWindowTitle(QStringLiteral("Kept apart"));
    resize(820, 420);
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("Objects the data manager did not file into the store, and why. "
                                            "What is stored was left as it was."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_list = ListHelpers::reportList(QStringLiteral("lvQuarantine"),
                                     {QStringLiteral("Time"), QStringLiteral("File"), QStringLiteral("Why")}, this);
    layout->addWidget(m_list, 1);
    // The whole reason of the object picked, wrapped.
    m_detail = new QLabel(this);
    m_detail->setObjectName(QStringLiteral("lblReason"));
    m_detail->setWordWrap(true);
    m_detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_detail->setMinimumHeight(3 * fontMetrics().lineSpacing());
    m_detail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_detail);
    auto *buttons = new QHBoxLayout;
    m_delete = new QPushButton(QStringLiteral("Delete"), this);
    m_delete->setObjectName(QStringLiteral("cmdDelete"));
    m_fileAnyway = new QPushButton(QStringLiteral("File anyway"), this);
    m_fileAnyway->setObjectName(QStringLiteral("cmdFileAnyway"));
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    buttons->addWidget(m_delete);
    buttons->addWidget(m_fileAnyway);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(m_delete, &QPushButton::clicked, this, &QuarantineForm::deleteSelected);
    connect(m_fileAnyway, &QPushButton::clicked, this, &QuarantineForm::fileAnywaySelected);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &QuarantineForm::updateButtons);
    refill();
}

void QuarantineForm::refill()
{
    m_objects = Quarantine::list(m_station.paths());
    m_list->clear();
    for (int i = 0; i < m_objects.size(); ++i) {
        const QuarantinedObject &o = m_objects[i];
        auto *item = new QTreeWidgetItem(
            m_list, {o.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), QFileInfo(o.file).fileName(), o.reason});
        item->setData(0, Qt::UserRole, i);
        item->setToolTip(2, o.reason);
    }
    m_list->resizeColumnToContents(0);
    m_list->resizeColumnToContents(1);
    updateButtons();
}

const QuarantinedObject *QuarantineForm::selected() const
{
    const auto items = m_list->selectedItems();
    if (items.isEmpty())
        return nullptr;
    const int i = items.first()->data(0, Qt::UserRole).toInt();
    return i >= 0 && i < m_objects.size() ? &m_objects[i] : nullptr;
}

void QuarantineForm::updateButtons()
{
    const QuarantinedObject *o = selected();
    m_delete->setEnabled(o != nullptr);
    m_detail->setText(o ? o->reason : QStringLiteral("Pick an object to read why it was kept apart."));
    // Only an object kept apart for a clash can be filed: the others cannot be filed at all.
    m_fileAnyway->setEnabled(o && o->clash);
}

void QuarantineForm::deleteSelected()
{
    const QuarantinedObject *o = selected();
    if (!o)
        return;
    if (!m_station.prompter().askYesNo(QStringLiteral("Delete %1 for good?").arg(QFileInfo(o->file).fileName()),
                                       MsgIcon::Question))
        return;
    if (!Quarantine::remove(*o))
        m_station.showError(AppError(ErrorNo::FileIo, QStringLiteral("Cannot delete %1").arg(o->file)),
                            QStringLiteral("QuarantineForm Delete"));
    refill();
}

void QuarantineForm::fileAnywaySelected()
{
    const QuarantinedObject *o = selected();
    if (!o || !o->clash)
        return;
    if (!m_station.prompter().askYesNo(Quarantine::fileAnywayQuestion(*o), MsgIcon::Warning,
                                       QStringLiteral("File anyway")))
        return;
    m_station.trapAndShow(QStringLiteral("QuarantineForm FileAnyway"), [&] {
        Quarantine::fileAnyway(m_station.paths(), *o);
        m_station.log().writeError(ErrorNo::Dicom, QStringLiteral("Filed anyway by the operator: ") + o->reason,
                                   QStringLiteral("QuarantineForm FileAnyway"));
    });
    refill();
}
