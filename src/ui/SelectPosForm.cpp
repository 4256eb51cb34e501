#include "ui/SelectPosForm.h"
#include "dicom/Image.h"
#include "dicom/Render.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

SelectPosForm::SelectPosForm(const dicom::Image &image, QWidget *parent, Asks asks) : QDialog(parent)
{
    setObjectName(QStringLiteral("SelectPosForm"));
    setWindowTitle(QStringLiteral("Please select view position"));
    setModal(true);
    m_dv1 = new QLabel(this);
    m_dv1->setObjectName(QStringLiteral("dv1"));
    m_dv1->setAlignment(Qt::AlignCenter);
    m_dv1->setMinimumSize(300, 360);
    m_dv1->setStyleSheet(QStringLiteral("background: black"));
    try {
        m_dv1->setPixmap(QPixmap::fromImage(dicom::renderImage(image, QSize(300, 360))));
    } catch (const std::exception &) {
        // The question is answered from the operator's knowledge as well; no picture is
        // no reason to refuse it.
        m_dv1->setText(QStringLiteral("(no picture)"));
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_dv1, 1);
    if (asks == Asks::View) {
        // Right views on the left as a radiologist hangs them.
        auto *grid = new QGridLayout;
        const char *views[][2] = {{"R CC", "L CC"}, {"R MLO", "L MLO"}, {"R ML", "L ML"}};
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 2; ++col) {
                const QString view = QString::fromLatin1(views[row][col]);
                auto *b = new QPushButton(view, this);
                b->setObjectName(QStringLiteral("cmdView_") + QString(view).remove(QLatin1Char(' ')));
                connect(b, &QPushButton::clicked, this, [this, view] { choose(view); });
                grid->addWidget(b, row, col);
            }
        }
        layout->addLayout(grid);
        return;
    }
    m_cmdLeft = new QPushButton(QStringLiteral("LEFT"), this);
    m_cmdLeft->setObjectName(QStringLiteral("cmdLeft"));
    m_cmdRight = new QPushButton(QStringLiteral("RIGHT"), this);
    m_cmdRight->setObjectName(QStringLiteral("cmdRight"));
    connect(m_cmdLeft, &QPushButton::clicked, this, [this] { choose(QStringLiteral("L")); });
    connect(m_cmdRight, &QPushButton::clicked, this, [this] { choose(QStringLiteral("R")); });
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_cmdLeft);
    buttons->addWidget(m_cmdRight);
    layout->addLayout(buttons);
}

void SelectPosForm::choose(const QString &side)
{
    m_side = side;
    m_dv1->clear();
    accept();
}

QString SelectPosForm::ask(const dicom::Image &image, QWidget *parent)
{
    SelectPosForm form(image, parent);
    form.exec();
    return form.side();
}

QString SelectPosForm::askView(const dicom::Image &image, QWidget *parent)
{
    SelectPosForm form(image, parent, Asks::View);
    form.exec();
    return form.side();
}
