// The start as the operator sees it: splash, then the Options dialog over the hidden main
// window, then the main window on OK and on Cancel alike.
#include "StationProcess.h"
#include "TestStation.h"
#include "app/MainForm.h"
#include "app/SplashForm.h"
#include "app/Startup.h"
#include "dialogs/OptionForm.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTimer>
#include <QtTest>

class TestStartFlow : public QObject {
    Q_OBJECT
private slots:
    void okOrCancelShowTheMainWindow_data();
    void okOrCancelShowTheMainWindow();
    void unitOptionShowsLoradButtonAtOnce();
    void splashCaptionAndLabels();
    void frameClickBeforeTheTickEndsTheStart();
};

static OptionForm *visibleOptions()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *f = qobject_cast<OptionForm *>(w); f && f->isVisible())
            return f;
    return nullptr;
}

static SplashForm *splash()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *s = qobject_cast<SplashForm *>(w))
            return s;
    return nullptr;
}

void TestStartFlow::okOrCancelShowTheMainWindow_data()
{
    QTest::addColumn<bool>("ok");
    QTest::newRow("OK") << true;
    QTest::newRow("Cancel") << false;
}

void TestStartFlow::okOrCancelShowTheMainWindow()
{
    QFETCH(bool, ok);
    TestStation ts(false);
    Startup startup(*ts);
    QVERIFY(startup.begin());
    QVERIFY(splash() && splash()->isVisible());
    QVERIFY(!startup.mainForm());
    QTRY_VERIFY_WITH_TIMEOUT(visibleOptions() != nullptr, 5000);
    QVERIFY(startup.mainForm());
    QVERIFY(!startup.mainForm()->isVisible()); // loaded hidden behind the dialog
    QTRY_VERIFY(splash() == nullptr || !splash()->isVisible());
    OptionForm *f = visibleOptions();
    f->findChild<QLineEdit *>("txtRC_0")->setText("2");
    f->findChild<QPushButton *>(ok ? "cmdOK" : "cmdCancel")->click();
    QTRY_VERIFY(startup.mainForm()->isVisible());
    QCOMPARE(startup.mainForm()->windowTitle().left(17), QString("Calvarex Version "));
    QSettings raw(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(raw.value("General/Viewer_Rows").toString(), ok ? QString("2") : QString());
    QCOMPARE(int(ts->settings().viewerRows), ok ? 2 : 7);
    startup.mainForm()->exitProgram();
    // The companions the start launched for this station.
    killStationProcesses(ts.root());
}

void TestStartFlow::unitOptionShowsLoradButtonAtOnce()
{
    TestStation ts(false);
    Startup startup(*ts);
    QVERIFY(startup.begin());
    QTRY_VERIFY_WITH_TIMEOUT(visibleOptions() != nullptr, 5000);
    OptionForm *f = visibleOptions();
    f->findChild<QPushButton *>("cmdOK")->click();
    QTRY_VERIFY(startup.mainForm()->isVisible());
    auto *lorad = startup.mainForm()->findChild<QPushButton *>("cmdLorad");
    QVERIFY(!lorad->isVisible());

    // Options again: the unit option changes the main window before OK or Cancel.
    startup.mainForm()->commands().run(Cmd::Options);
    QTRY_VERIFY(visibleOptions() != nullptr);
    f = visibleOptions();
    f->findChild<QRadioButton *>("optLoradM4")->click();
    QVERIFY(lorad->isVisible());
    f->findChild<QRadioButton *>("optSophie")->click();
    QVERIFY(!lorad->isVisible());
    f->findChild<QPushButton *>("cmdCancel")->click();
    startup.mainForm()->exitProgram();
    killStationProcesses(ts.root());
}

void TestStartFlow::splashCaptionAndLabels()
{
    SplashForm s(QString(CALVAREX_SOURCE_DIR) + "/resources/Viewer.bmp");
    QVERIFY(s.windowTitle().startsWith("Calvarex Version "));
    QCOMPARE(s.findChild<QLabel *>("lblProductName")->text(), QString("Calvarex"));
    QVERIFY(s.findChild<QLabel *>("lblVersion")->text().startsWith("Version "));
    QVERIFY(!s.findChild<QLabel *>("Image1")->pixmap().isNull());
    // A missing picture leaves the place empty and nothing else.
    SplashForm none("/nonexistent/Viewer.bmp");
    QVERIFY(none.findChild<QLabel *>("Image1")->pixmap().isNull());
}

void TestStartFlow::frameClickBeforeTheTickEndsTheStart()
{
    TestStation ts(false);
    Startup startup(*ts);
    QVERIFY(startup.begin());
    QTest::mouseClick(splash()->findChild<QWidget *>("Frame1"), Qt::LeftButton);
    QTest::qWait(800);
    QVERIFY(!startup.mainForm());
    QVERIFY(visibleOptions() == nullptr);
    QVERIFY(!QFile::exists(ts.root() + "/Calvarex.lock"));
}

QTEST_MAIN(TestStartFlow)
#include "test_startflow.moc"
