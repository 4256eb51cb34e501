#include "net/AddScpForm.h"
#include "core/AppError.h"
#include "core/PeerFields.h"
#include "core/Station.h"
#include "net/Destinations.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

AddScpForm::AddScpForm(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("AddSCP"));
    setWindowTitle(QStringLiteral("Add new SCP"));
    auto *grid = new QGridLayout(this);
    const char *labels[] = {"Alias:", "AET:", "IP:", "Port:"};
    for (int i = 0; i < 4; ++i) {
        grid->addWidget(new QLabel(QString::fromLatin1(labels[i])), i, 0);
        txtSCP[i] = new QLineEdit;
        txtSCP[i]->setObjectName(QStringLiteral("txtSCP_%1").arg(i));
        grid->addWidget(txtSCP[i], i, 1);
    }
    txtSCP[2]->setMaxLength(15);
    txtSCP[3]->setMaxLength(5);
    // Digits only, typed or pasted; Add checks again, since a validator does not see
    // every way text gets in.
    txtSCP[3]->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,5}")), txtSCP[3]));
    txtSCP[1]->setToolTip(QStringLiteral("1 to %1 characters, no backslash; blanks before and after are dropped")
                              .arg(PeerFields::MaxAeTitle));
    txtSCP[3]->setToolTip(QStringLiteral("1 to 65535"));
    txtSCP[0]->setMinimumWidth(220);
    m_chkDoseReports = new QCheckBox(QStringLiteral("Dose reports"));
    m_chkDoseReports->setObjectName(QStringLiteral("chkDoseReports"));
    m_chkDoseReports->setToolTip(
        QStringLiteral("A dose registry: every dose report the station makes goes here as well"));
    m_chkCommitment = new QCheckBox(QStringLiteral("Ask for storage commitment"));
    m_chkCommitment->setObjectName(QStringLiteral("chkCommitment"));
    m_chkCommitment->setToolTip(
        QStringLiteral("After each transfer the destination is asked to keep what it accepted; it reports to the "
                       "station's receiver, which it must know by the station's AE title"));
    auto *boxes = new QVBoxLayout;
    boxes->addWidget(m_chkDoseReports);
    boxes->addWidget(m_chkCommitment);
    grid->addLayout(boxes, 4, 1);
    // Why Add did not close the dialog.
    m_problem = new QLabel;
    m_problem->setObjectName(QStringLiteral("lblProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    m_problem->hide();
    grid->addWidget(m_problem, 5, 0, 1, 2);
    auto *buttons = new QHBoxLayout;
    cmdAdd = new QPushButton(QStringLiteral("Add"));
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdAdd->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addStretch();
    buttons->addWidget(cmdAdd);
    buttons->addWidget(cmdCancel);
    grid->addLayout(buttons, 6, 0, 1, 2);
    connect(cmdAdd, &QPushButton::clicked, this, &AddScpForm::cmdAdd_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void AddScpForm::editRow(qint64 id, const QString &alias, const QString &aet, const QString &ip, const QString &port,
                         bool doseReports, bool storageCommitment)
{
    setWindowTitle(QStringLiteral("Edit SCP"));
    cmdAdd->setText(QStringLiteral("Apply"));
    cmdAdd->setProperty("tag", id);
    const QString texts[] = {alias, aet, ip, port};
    for (int i = 0; i < 4; ++i)
        txtSCP[i]->setText(texts[i]);
    m_chkDoseReports->setChecked(doseReports);
    m_chkCommitment->setChecked(storageCommitment);
}

void AddScpForm::refuse(int field, const QString &text)
{
    m_problem->setText(text);
    m_problem->show();
    // Room for the whole text as it wraps, at the width the dialog has.
    layout()->activate();
    if (hasHeightForWidth())
        resize(width(), qMax(height(), heightForWidth(width())));
    if (field >= 0) {
        txtSCP[field]->setFocus(Qt::OtherFocusReason);
        txtSCP[field]->selectAll();
    }
}

QString AddScpForm::fieldProblem(int field) const
{
    const QString text = txtSCP[field]->text();
    if (field == 1)
        return PeerFields::aeTitleProblem(text);
    if (field == 3)
        return PeerFields::portProblem(text);
    if (text.trimmed().isEmpty())
        return QStringLiteral("required");
    // The list's own rules for the field, the other three set to fit.
    QString probe[4] = {QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("127.0.0.1"), QStringLiteral("104")};
    probe[field] = text;
    return Destinations::validate(probe[0], probe[1], probe[2], probe[3]);
}

void AddScpForm::cmdAdd_Click()
{
    // Each field by its rules (the AE title and the port as every peer field), named as
    // the dialog shows it; the first refused one takes the focus.
    static const char *names[] = {"Alias", "AE title", "IP", "Port"};
    for (int i = 0; i < 4; ++i)
        if (const QString p = fieldProblem(i); !p.isEmpty())
            return refuse(i, QStringLiteral("%1: %2").arg(QLatin1String(names[i]), p));
    txtSCP[1]->setText(PeerFields::trimBlanks(txtSCP[1]->text()));
    txtSCP[3]->setText(PeerFields::trimBlanks(txtSCP[3]->text()));
    const QString t[] = {txtSCP[0]->text(), txtSCP[1]->text(), txtSCP[2]->text(), txtSCP[3]->text()};
    if (const QString p = Destinations::validate(t[0], t[1], t[2], t[3]); !p.isEmpty())
        return refuse(-1, p);
    m_problem->hide();
    const bool ok = m_station.trap(QStringLiteral("AddSCP cmdAdd_Click"), [&] {
        Destinations d(m_station);
        const QVariant tag = cmdAdd->property("tag");
        qint64 id = tag.toLongLong();
        if (tag.isValid())
            d.update(id, t[0], t[1], t[2], t[3]);
        else
            id = d.add(t[0], t[1], t[2], t[3]);
        d.setDoseReports(id, m_chkDoseReports->isChecked());
        d.setStorageCommitment(id, m_chkCommitment->isChecked());
    });
    if (!ok)
        return;
    m_changed = true;
    accept();
}
