#pragma once
#include <QString>

class QCheckBox;
class QLineEdit;

// The controls the Options pages share: named boxes, and the rules shown on AE title
// and port boxes.
namespace OptionFields {
QLineEdit *edit(const QString &name);
QCheckBox *check(const char *name, const QString &caption);
// Port boxes take digits only, typed or pasted (a paste with anything else is refused
// whole). The check on OK still runs: a validator does not see every way text gets in.
void portBox(QLineEdit *box);
void aeTitleBox(QLineEdit *box);
} // namespace OptionFields
