#include "dialogs/AddSCP.h"
#include "core/AppError.h"
#include "core/Station.h"
#include "net/Destinations.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

AddSCP::AddSCP(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
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
    txtSCP[0]->setMinimumWidth(220);
    auto *buttons = new QHBoxLayout;
    cmdAdd = new QPushButton(QStringLiteral("Add"));
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdAdd->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addStretch();
    buttons->addWidget(cmdAdd);
    buttons->addWidget(cmdCancel);
    grid->addLayout(buttons, 4, 0, 1, 2);
    connect(cmdAdd, &QPushButton::clicked, this, &AddSCP::cmdAdd_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void AddSCP::editRow(qint64 id, const QString &alias, const QString &aet, const QString &ip, const QString &port)
{
    setWindowTitle(QStringLiteral("Edit SCP"));
    cmdAdd->setText(QStringLiteral("Apply"));
    cmdAdd->setProperty("tag", id);
    const QString texts[] = {alias, aet, ip, port};
    for (int i = 0; i < 4; ++i)
        txtSCP[i]->setText(texts[i]);
}

void AddSCP::cmdAdd_Click()
{
    const QString t[] = {txtSCP[0]->text(), txtSCP[1]->text(), txtSCP[2]->text(), txtSCP[3]->text()};
    const QString problem = Destinations::validate(t[0], t[1], t[2], t[3]);
    if (!problem.isEmpty()) {
        m_station.prompter().message(problem, MsgIcon::Information);
        return;
    }
    const bool ok = m_station.trap(QStringLiteral("AddSCP cmdAdd_Click"), [&] {
        Destinations d(m_station);
        const QVariant tag = cmdAdd->property("tag");
        if (tag.isValid())
            d.update(tag.toLongLong(), t[0], t[1], t[2], t[3]);
        else
            d.add(t[0], t[1], t[2], t[3]);
    });
    if (!ok)
        return;
    m_changed = true;
    accept();
}
