#include "net/WorklistPage.h"
#include "core/PeerFields.h"
#include "core/Settings.h"
#include "ui/OptionFields.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

WorklistPage::WorklistPage(QWidget *parent) : OptionsPage(parent)
{
    auto *l = new QVBoxLayout(this);
    auto *box = new QGroupBox(QStringLiteral("Authentification"));
    auto *fl = new QFormLayout(box);
    const QString labels[4] = {QStringLiteral("Local AET:"), QStringLiteral("Remote AET:"),
                               QStringLiteral("Remote Node:"), QStringLiteral("Remote Port:")};
    for (int i = 0; i < 4; ++i) {
        m_txt[i] = OptionFields::edit(QStringLiteral("txtWorklist_%1").arg(i));
        fl->addRow(labels[i], m_txt[i]);
    }
    OptionFields::aeTitleBox(m_txt[0]);
    OptionFields::aeTitleBox(m_txt[1]);
    OptionFields::portBox(m_txt[3]);
    l->addWidget(box);
    auto *mppsBox = new QGroupBox(QStringLiteral("MPPS provider (performed procedure steps)"));
    auto *ml = new QFormLayout(mppsBox);
    const QString mppsLabels[3] = {QStringLiteral("Remote AET:"), QStringLiteral("Remote Node:"),
                                   QStringLiteral("Remote Port:")};
    for (int i = 0; i < 3; ++i) {
        m_mpps[i] = OptionFields::edit(QStringLiteral("txtMpps_%1").arg(i));
        ml->addRow(mppsLabels[i], m_mpps[i]);
    }
    OptionFields::aeTitleBox(m_mpps[0]);
    OptionFields::portBox(m_mpps[2]);
    l->addWidget(mppsBox);
    l->addStretch();
}

void WorklistPage::load(const Settings &s)
{
    m_txt[0]->setText(s.worklistLocalAet);
    m_txt[1]->setText(s.worklist.aet);
    m_txt[2]->setText(s.worklist.ip);
    m_txt[3]->setText(s.worklist.port);
    m_mpps[0]->setText(s.mpps.aet);
    m_mpps[1]->setText(s.mpps.ip);
    m_mpps[2]->setText(s.mpps.port);
}

namespace {

struct Field {
    QLineEdit *box;
    const char *name;
    QString (*rule)(const QString &);
};

// A group of peer fields: all empty, or all filled by their rules.
template <std::size_t N>
std::optional<OptionsPage::Refusal> checkGroup(const Field (&fields)[N], const QString &required)
{
    bool used = false;
    for (const Field &f : fields)
        used = used || !f.box->text().trimmed().isEmpty();
    if (!used)
        return std::nullopt;
    for (const Field &f : fields) {
        const QString text = f.box->text();
        QString rule;
        if (f.rule)
            rule = f.rule(text);
        else if (text.trimmed().isEmpty())
            rule = required;
        if (!rule.isEmpty())
            return OptionsPage::Refusal{f.box, QStringLiteral("%1: %2").arg(QLatin1String(f.name), rule)};
    }
    return std::nullopt;
}

} // namespace

std::optional<OptionsPage::Refusal> WorklistPage::check()
{
    const Field fields[] = {{m_txt[0], "Worklist local AE title", &PeerFields::aeTitleProblem},
                            {m_txt[1], "Worklist remote AE title", &PeerFields::aeTitleProblem},
                            {m_txt[2], "Worklist remote node", nullptr},
                            {m_txt[3], "Worklist remote port", &PeerFields::portProblem}};
    if (auto refusal = checkGroup(fields, QStringLiteral("required once a worklist field is filled")))
        return refusal;
    const Field mpps[] = {{m_mpps[0], "MPPS remote AE title", &PeerFields::aeTitleProblem},
                          {m_mpps[1], "MPPS remote node", nullptr},
                          {m_mpps[2], "MPPS remote port", &PeerFields::portProblem}};
    return checkGroup(mpps, QStringLiteral("required once an MPPS field is filled"));
}

void WorklistPage::store(Settings &s)
{
    // Stored without the blanks around them, and shown so.
    for (QLineEdit *box : {m_txt[0], m_txt[1], m_txt[3], m_mpps[0], m_mpps[2]})
        box->setText(PeerFields::trimBlanks(box->text()));
    m_txt[2]->setText(m_txt[2]->text().trimmed());
    m_mpps[1]->setText(m_mpps[1]->text().trimmed());
    s.worklistLocalAet = m_txt[0]->text();
    s.worklist.aet = m_txt[1]->text();
    s.worklist.ip = m_txt[2]->text();
    s.worklist.port = m_txt[3]->text();
    s.mpps.aet = m_mpps[0]->text();
    s.mpps.ip = m_mpps[1]->text();
    s.mpps.port = m_mpps[2]->text();
}
