#include "ui/InputBoxForm.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

InputBoxForm::InputBoxForm(const QString &label, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("InputBoxForm"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(label));
    m_txtValue = new QLineEdit;
    m_txtValue->setObjectName(QStringLiteral("txtValue"));
    layout->addWidget(m_txtValue);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("CancelButton"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, [this] {
        m_cancelled = false;
        accept();
    });
    connect(m_txtValue, &QLineEdit::returnPressed, ok, &QPushButton::click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] {
        m_txtValue->clear();
        m_cancelled = true;
    });
}

QString InputBoxForm::text() const { return m_txtValue->text(); }

void InputBoxForm::setText(const QString &text) { m_txtValue->setText(text); }

void InputBoxForm::showEvent(QShowEvent *e)
{
    m_txtValue->clear();
    m_txtValue->setFocus();
    m_cancelled = true;
    QDialog::showEvent(e);
}
