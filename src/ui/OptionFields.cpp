#include "ui/OptionFields.h"
#include "core/PeerFields.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace OptionFields {

QLineEdit *edit(const QString &name)
{
    auto *e = new QLineEdit;
    e->setObjectName(name);
    return e;
}

QCheckBox *check(const char *name, const QString &caption)
{
    auto *c = new QCheckBox(caption);
    c->setObjectName(QString::fromLatin1(name));
    return c;
}

void portBox(QLineEdit *box)
{
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,5}")), box));
    box->setToolTip(QStringLiteral("1 to 65535"));
}

void aeTitleBox(QLineEdit *box)
{
    box->setToolTip(QStringLiteral("1 to %1 characters, no backslash; blanks before and after are dropped")
                        .arg(PeerFields::MaxAeTitle));
}

} // namespace OptionFields
