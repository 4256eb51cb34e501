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
    l->addStretch();
}

void WorklistPage::load(const Settings &s)
{
    m_txt[0]->setText(s.worklistLocalAet);
    m_txt[1]->setText(s.worklist.aet);
    m_txt[2]->setText(s.worklist.ip);
    m_txt[3]->setText(s.worklist.port);
}

std::optional<OptionsPage::Refusal> WorklistPage::check()
{
    bool used = false;
    for (QLineEdit *box : m_txt)
        used = used || !box->text().trimmed().isEmpty();
    if (!used)
        return std::nullopt;
    struct Field {
        QLineEdit *box;
        const char *name;
        QString (*rule)(const QString &);
    };
    const Field fields[] = {{m_txt[0], "Worklist local AE title", &PeerFields::aeTitleProblem},
                            {m_txt[1], "Worklist remote AE title", &PeerFields::aeTitleProblem},
                            {m_txt[2], "Worklist remote node", nullptr},
                            {m_txt[3], "Worklist remote port", &PeerFields::portProblem}};
    for (const Field &f : fields) {
        const QString text = f.box->text();
        QString rule;
        if (f.rule)
            rule = f.rule(text);
        else if (text.trimmed().isEmpty())
            rule = QStringLiteral("required once a worklist field is filled");
        if (!rule.isEmpty())
            return Refusal{f.box, QStringLiteral("%1: %2").arg(QLatin1String(f.name), rule)};
    }
    return std::nullopt;
}

void WorklistPage::store(Settings &s)
{
    // Stored without the blanks around them, and shown so.
    for (QLineEdit *box : {m_txt[0], m_txt[1], m_txt[3]})
        box->setText(PeerFields::trimBlanks(box->text()));
    m_txt[2]->setText(m_txt[2]->text().trimmed());
    s.worklistLocalAet = m_txt[0]->text();
    s.worklist.aet = m_txt[1]->text();
    s.worklist.ip = m_txt[2]->text();
    s.worklist.port = m_txt[3]->text();
}
