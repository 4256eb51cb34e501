#include "dialogs/AddTagToDB.h"
#include "core/Station.h"
#include "edit/DictionaryTable.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

AddTagToDB::AddTagToDB(Station &station, QWidget *parent) : QDialog(parent), m_station(station)
{
    setObjectName(QStringLiteral("AddTagToDB"));
    setWindowTitle(QStringLiteral("Add new"));
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    auto edit = [](const char *name) {
        auto *e = new QLineEdit;
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    m_txtGroup = edit("txtGroup");
    m_txtElement = edit("txtElement");
    m_txtDescription = edit("txtDescription");
    m_txtVR = edit("txtVR");
    for (QLineEdit *e : {m_txtGroup, m_txtElement}) {
        e->setMaximumWidth(70);
        // Leaving the box writes the part as four upper-case digits.
        connect(e, &QLineEdit::editingFinished, this, [e] {
            if (DictionaryTable::isHexPart(e->text()))
                e->setText(DictionaryTable::padHex(e->text()));
        });
    }
    m_txtVR->setMaximumWidth(50);
    auto *tagRow = new QHBoxLayout;
    tagRow->addWidget(m_txtGroup);
    tagRow->addWidget(m_txtElement);
    tagRow->addStretch();
    form->addRow(QStringLiteral("Group / Element:"), tagRow);
    form->addRow(QStringLiteral("Description:"), m_txtDescription);
    form->addRow(QStringLiteral("VR Type:"), m_txtVR);
    m_chkVisi = new QCheckBox(QStringLiteral("visible"));
    m_chkVisi->setObjectName(QStringLiteral("chkVisi"));
    m_chkVisi->setChecked(true);
    form->addRow(QString(), m_chkVisi);
    layout->addLayout(form);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    m_cmdOK = new QPushButton(QStringLiteral("OK"));
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(m_cmdOK, &QPushButton::clicked, this, &AddTagToDB::okClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    // A rejected entry can be corrected: OK comes back with the next change.
    for (QLineEdit *e : {m_txtGroup, m_txtElement, m_txtDescription, m_txtVR})
        connect(e, &QLineEdit::textEdited, m_cmdOK, [this] { m_cmdOK->setEnabled(true); });
    resize(360, 200);
}

void AddTagToDB::okClicked()
{
    m_cmdOK->setEnabled(false);
    DictionaryTable::NewTag tag{m_txtGroup->text(), m_txtElement->text(), m_txtDescription->text(), m_txtVR->text(),
                                m_chkVisi->isChecked()};
    // The checks come before the statements, in the order the operator reads the boxes.
    if (!DictionaryTable::isHexPart(tag.group) || !DictionaryTable::isHexPart(tag.element)) {
        m_station.prompter().message(QStringLiteral("Group and element take 1 to 4 hexadecimal digits (0-9, A-F)."),
                                     MsgIcon::Information);
        return;
    }
    if (!DictionaryTable::isVr(tag.vr)) {
        m_station.prompter().message(QStringLiteral("Not a valid VR type!"), MsgIcon::Information);
        return;
    }
    DictionaryTable::AddResult result = DictionaryTable::AddResult::BadTag;
    if (!m_station.trapAndShow(QStringLiteral("AddTagToDB cmdOK_Click"),
                               [&] { result = DictionaryTable(m_station.paths()).add(tag); }))
        return;
    if (result == DictionaryTable::AddResult::Exists) {
        m_station.prompter().message(QStringLiteral("Tag already exists."), MsgIcon::Information);
        return;
    }
    accept();
}
