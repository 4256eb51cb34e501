// Looks at the windows as the operator sees them at 1024x768: every control at least as
// large as it needs to be, no label or button text cut off, no two controls of one
// layout on top of each other. With CALVAREX_SCREENSHOT_DIR set, each window and each
// Options tab is also saved as a PNG there.
#include "TestStation.h"
#include "app/MainForm.h"
#include "dialogs/OptionForm.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include "store/ViewerWidget.h"
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QTabWidget>
#include <QtTest>

class TestScreens : public QObject {
    Q_OBJECT
private slots:
    void mainWindowFitsAt1024x768();
    void optionTabsFit_data();
    void optionTabsFit();
};

static void save(QWidget &w, const QString &name)
{
    const QString dir = qEnvironmentVariable("CALVAREX_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        w.grab().save(dir + "/" + name + ".png");
}

// Problems of the visible controls below top, as text (empty when all is well).
static QStringList layoutProblems(QWidget *top)
{
    QStringList out;
    const auto widgets = top->findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        if (!w->isVisibleTo(top) || w->isWindow() || w->objectName().startsWith("qt_"))
            continue;
        const QSize min = w->minimumSizeHint();
        if (w->parentWidget() && w->parentWidget()->layout() && min.isValid()
            && (w->width() < min.width() - 1 || w->height() < min.height() - 1)
            && !qobject_cast<QAbstractScrollArea *>(w))
            out << QString("%1 (%2) is %3x%4, needs %5x%6").arg(w->objectName(), w->metaObject()->className())
                       .arg(w->width()).arg(w->height()).arg(min.width()).arg(min.height());
        QString text;
        if (auto *l = qobject_cast<QLabel *>(w); l && !l->wordWrap() && !l->text().contains('\n'))
            text = l->text();
        if (auto *b = qobject_cast<QAbstractButton *>(w); b && !b->text().isEmpty())
            text = b->text();
        if (!text.isEmpty()) {
            const int need = w->fontMetrics().horizontalAdvance(QString(text).remove('&'));
            if (need > w->contentsRect().width())
                out << QString("text '%1' cut off: %2 of %3 px").arg(text).arg(w->contentsRect().width()).arg(need);
        }
    }
    // Siblings managed by one layout must not overlap.
    QList<QWidget *> parents = top->findChildren<QWidget *>();
    parents << top;
    for (QWidget *parent : parents) {
        if (!parent->layout() || !parent->isVisibleTo(top))
            continue;
        QList<QWidget *> kids;
        for (int i = 0; i < parent->layout()->count(); ++i)
            if (QWidget *k = parent->layout()->itemAt(i)->widget(); k && k->isVisibleTo(top))
                kids << k;
        for (int i = 0; i < kids.size(); ++i)
            for (int j = i + 1; j < kids.size(); ++j)
                if (kids[i]->geometry().intersects(kids[j]->geometry()))
                    out << QString("%1 overlaps %2").arg(kids[i]->objectName(), kids[j]->objectName());
    }
    return out;
}

void TestScreens::mainWindowFitsAt1024x768()
{
    TestStation ts;
    MainForm form(*ts);
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.formLoad();
    form.resize(1024, 740);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(50);
    const QStringList problems = layoutProblems(&form);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("\n")));
    // The viewer takes the space that is left, and is the largest control.
    QVERIFY(form.findChild<QWidget *>("dv1")->width() >= 380);
    QVERIFY(form.findChild<QWidget *>("dv1")->height() >= 500);
    save(form, "main_1024x768");
    form.resize(1600, 1000);
    QTest::qWait(50);
    QVERIFY(form.findChild<QWidget *>("dv1")->width() >= 900); // a larger screen goes to the images
    save(form, "main_1600x1000");
    form.exitProgram();
}

void TestScreens::optionTabsFit_data()
{
    QTest::addColumn<int>("tab");
    for (int i = 0; i < 5; ++i)
        QTest::newRow(qPrintable(QString("tab %1").arg(i))) << i;
}

void TestScreens::optionTabsFit()
{
    QFETCH(int, tab);
    TestStation ts;
    OptionForm f(*ts);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    f.tabs()->setCurrentIndex(tab);
    QTest::qWait(50);
    QVERIFY(f.width() <= 1024 && f.height() <= 768);
    const QStringList problems = layoutProblems(&f);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("\n")));
    save(f, QString("options_%1_%2").arg(tab).arg(f.tabs()->tabText(tab).replace(' ', '_')));
}

QTEST_MAIN(TestScreens)
#include "test_screens.moc"
