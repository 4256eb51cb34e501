#include "store/QuarantineCommands.h"
#include "core/Station.h"
#include "store/Quarantine.h"
#include "store/QuarantineForm.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"

#include <QLabel>
#include <QTimer>

QuarantineCommands::QuarantineCommands(Station &station, CommandTable &commands, QWidget *parent)
    : QObject(parent), m_station(station), m_parent(parent)
{
    m_note = new QLabel(parent);
    m_note->setObjectName(QStringLiteral("lblQuarantine"));
    m_note->setTextFormat(Qt::RichText);
    m_note->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
    m_note->hide();
    connect(m_note, &QLabel::linkActivated, this, [this](const QString &) { openList(); });
    commands.hook(QString::fromLatin1(Cmd::Quarantine), [this] { openList(); });
    m_timer = new QTimer(this);
    m_timer->setInterval(IntervalMs);
    connect(m_timer, &QTimer::timeout, this, &QuarantineCommands::update);
    m_timer->start();
    update();
}

void QuarantineCommands::update()
{
    const int n = int(Quarantine::list(m_station.paths()).size());
    if (n == 0) {
        m_note->hide();
        return;
    }
    m_note->setText(
        QStringLiteral("<a href=\"list\">%1</a>")
            .arg(n == 1 ? QStringLiteral("1 object kept apart") : QStringLiteral("%1 objects kept apart").arg(n)));
    m_note->show();
}

void QuarantineCommands::openList()
{
    QuarantineForm form(m_station, m_parent);
    form.exec();
    update();
}
