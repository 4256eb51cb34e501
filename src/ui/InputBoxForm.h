#pragma once
#include <QDialog>

class QLineEdit;

// A small modal input box: a label, a text box, OK and Cancel. Enter acts as OK; Cancel
// empties the text and marks the box cancelled. Each showing starts with an empty box.
class InputBoxForm : public QDialog {
    Q_OBJECT
public:
    InputBoxForm(const QString &label, QWidget *parent = nullptr);

    bool isCancelled() const { return m_cancelled; }
    void setCaption(const QString &title) { setWindowTitle(title); }
    QString text() const;
    void setText(const QString &text);

protected:
    void showEvent(QShowEvent *e) override;

private:
    QLineEdit *m_txtValue = nullptr;
    bool m_cancelled = true;
};
