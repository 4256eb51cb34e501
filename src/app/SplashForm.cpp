#include "app/SplashForm.h"
#include "core/Version.h"

#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

SplashForm::SplashForm(const QString &picturePath, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("fSplash"));
    setWindowTitle(Version::splashCaption());
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    m_frame = new QFrame;
    m_frame->setObjectName(QStringLiteral("Frame1"));
    m_frame->setFrameStyle(QFrame::Box | QFrame::Raised);
    m_frame->setStyleSheet(QStringLiteral("QFrame#Frame1 { background: white; }"));
    outer->addWidget(m_frame);
    auto *l = new QHBoxLayout(m_frame);
    l->setContentsMargins(16, 16, 16, 16);
    l->setSpacing(20);

    auto *image = new QLabel;
    image->setObjectName(QStringLiteral("Image1"));
    QPixmap pm;
    // A missing picture leaves the place empty; the start goes on.
    if (QFile::exists(picturePath))
        pm.load(picturePath);
    if (!pm.isNull())
        image->setPixmap(pm.scaled(240, 240, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    image->setMinimumSize(120, 120);
    l->addWidget(image);

    auto *texts = new QVBoxLayout;
    auto *name = new QLabel(Version::ProductName);
    name->setObjectName(QStringLiteral("lblProductName"));
    name->setStyleSheet(QStringLiteral("QLabel { font-size: 28pt; font-weight: bold; color: #1d3557; }"));
    auto *version = new QLabel(Version::splashVersionLabel());
    version->setObjectName(QStringLiteral("lblVersion"));
    version->setStyleSheet(QStringLiteral("QLabel { font-size: 12pt; }"));
    auto *company = new QLabel(QStringLiteral("Calvarex mammography room station\nDose capture \u00b7 Worklist \u00b7 "
                                              "Image store\nSupport: your local Calvarex service partner"));
    company->setObjectName(QStringLiteral("lblCompany"));
    company->setStyleSheet(QStringLiteral("QLabel { color: #555; }"));
    texts->addStretch();
    texts->addWidget(name);
    texts->addWidget(version);
    texts->addSpacing(20);
    texts->addWidget(company);
    texts->addStretch();
    l->addLayout(texts);

    // Clicks anywhere on the frame and its labels count as a click on the frame.
    for (QWidget *w : {static_cast<QWidget *>(m_frame), static_cast<QWidget *>(image), static_cast<QWidget *>(name),
                       static_cast<QWidget *>(version), static_cast<QWidget *>(company)})
        w->installEventFilter(this);

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(500);
    m_timer->setSingleShot(true);
}

bool SplashForm::eventFilter(QObject *o, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonRelease) {
        emit frameClicked();
        return true;
    }
    return QWidget::eventFilter(o, e);
}
