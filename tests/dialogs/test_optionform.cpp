#include "TestStation.h"
#include "dialogs/OptionForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QToolButton>
#include <QtTest>

class TestOptionForm : public QObject {
    Q_OBJECT
private slots:
    void tabsInOrder();
    void loadShowsSettings();
    void windowEnablingRules_data();
    void windowEnablingRules();
    void upDownBounds_data();
    void upDownBounds();
    void portBoxTakesDigitsOnly();
    void unitOptionsTakeEffectAtOnce_data();
    void unitOptionsTakeEffectAtOnce();
    void unitFiveOpensUncheckedAndOkKeepsIt();
    void timeOutsAsIntegerPart_data();
    void timeOutsAsIntegerPart();
    void okSavesEverything();
    void cancelSavesNothing();
    void colourBoxUsesColourDialog();
};

template <typename T>
static T *child(QWidget &w, const QString &name)
{
    T *c = w.findChild<T *>(name);
    if (!c)
        qFatal("no control %s", qPrintable(name));
    return c;
}

void TestOptionForm::tabsInOrder()
{
    TestStation ts;
    OptionForm f(*ts);
    QCOMPARE(f.windowTitle(), QString("Options"));
    QStringList tabs;
    for (int i = 0; i < f.tabs()->count(); ++i)
        tabs << f.tabs()->tabText(i);
    QCOMPARE(tabs, (QStringList{"General", "Communication", "Filter", "Comm Port", "Worklist"}));
    QCOMPARE(child<QPushButton>(f, "cmdOK")->text(), QString("OK"));
    QCOMPARE(child<QPushButton>(f, "cmdCancel")->text(), QString("Cancel"));
    QCOMPARE(child<QComboBox>(f, "Combo1")->count(), 14);
    QCOMPARE(child<QComboBox>(f, "Combo5")->itemText(3), QString("comRTSXOnXOff"));
}

void TestOptionForm::loadShowsSettings()
{
    TestStation ts;
    Settings &s = ts->settings();
    s.irAet = "RECV";
    s.irPort = "11112";
    s.worklistLocalAet = "MAMMO1";
    s.worklist = {"10.0.0.9", "WLM", "104"};
    s.comSpeed = 6;
    s.comPort = 3;
    s.debug = 1;
    OptionForm f(*ts);
    QCOMPARE(child<QLineEdit>(f, "txtIR_0")->text(), QString("RECV"));
    QCOMPARE(child<QLineEdit>(f, "txtIR_1")->text(), QString("11112"));
    QCOMPARE(child<QLineEdit>(f, "txtWorklist_0")->text(), QString("MAMMO1"));
    QCOMPARE(child<QLineEdit>(f, "txtWorklist_1")->text(), QString("WLM"));
    QCOMPARE(child<QLineEdit>(f, "txtWorklist_2")->text(), QString("10.0.0.9"));
    QCOMPARE(child<QLineEdit>(f, "txtWorklist_3")->text(), QString("104"));
    QCOMPARE(child<QLineEdit>(f, "txtRC_0")->text(), QString("7"));
    QCOMPARE(child<QLineEdit>(f, "txtRC_1")->text(), QString("3"));
    QCOMPARE(child<QComboBox>(f, "Combo1")->currentText(), QString("9600"));
    QCOMPARE(child<QComboBox>(f, "Combo2")->currentText(), QString("N"));
    QCOMPARE(child<QComboBox>(f, "Combo3")->currentText(), QString("8"));
    QCOMPARE(child<QComboBox>(f, "Combo4")->currentText(), QString("1"));
    QVERIFY(child<QRadioButton>(f, "Option3")->isChecked());
    QVERIFY(child<QCheckBox>(f, "chkDebug")->isChecked());
    QVERIFY(child<QCheckBox>(f, "chkKeepImages")->isChecked());
    QVERIFY(child<QRadioButton>(f, "optSophie")->isChecked());
    QCOMPARE(child<QLineEdit>(f, "Text1")->text(), QString("5"));
}

void TestOptionForm::windowEnablingRules_data()
{
    QTest::addColumn<bool>("window");
    QTest::addColumn<bool>("autoValue");
    QTest::addColumn<bool>("autoEnabled");
    QTest::addColumn<bool>("boxesEnabled");
    QTest::newRow("off") << false << false << false << false;
    QTest::newRow("off, auto checked") << false << true << false << false;
    QTest::newRow("on, custom values") << true << false << true << true;
    QTest::newRow("on, computed") << true << true << true << false;
}

void TestOptionForm::windowEnablingRules()
{
    QFETCH(bool, window);
    QFETCH(bool, autoValue);
    QFETCH(bool, autoEnabled);
    QFETCH(bool, boxesEnabled);
    TestStation ts;
    ts->settings().autoWindow = window ? 1 : 0;
    ts->settings().computeWindow = autoValue ? 1 : 0;
    OptionForm f(*ts);
    // The rules hold right after loading ...
    QCOMPARE(child<QCheckBox>(f, "chkAutoValue")->isEnabled(), autoEnabled);
    QCOMPARE(child<QLineEdit>(f, "txtWidth")->isEnabled(), boxesEnabled);
    QCOMPARE(child<QLineEdit>(f, "txtCenter")->isEnabled(), boxesEnabled);
    // ... and after clicks.
    child<QCheckBox>(f, "chkWindow")->click();
    QCOMPARE(child<QCheckBox>(f, "chkAutoValue")->isEnabled(), !window);
    QCOMPARE(child<QLineEdit>(f, "txtWidth")->isEnabled(), !window && !autoValue);
}

void TestOptionForm::upDownBounds_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("after");
    QTest::newRow("up from 10 stays") << "10" << "UpDown1_up" << "10";
    QTest::newRow("up from 9") << "9" << "UpDown1_up" << "10";
    QTest::newRow("down from 1 stays") << "1" << "UpDown1_down" << "1";
    QTest::newRow("down from 2") << "2" << "UpDown1_down" << "1";
}

void TestOptionForm::upDownBounds()
{
    QFETCH(QString, start);
    QFETCH(QString, button);
    QFETCH(QString, after);
    TestStation ts;
    OptionForm f(*ts);
    child<QLineEdit>(f, "txtRC_0")->setText(start);
    child<QToolButton>(f, button)->click();
    QCOMPARE(child<QLineEdit>(f, "txtRC_0")->text(), after);
}

void TestOptionForm::portBoxTakesDigitsOnly()
{
    TestStation ts;
    OptionForm f(*ts);
    f.show();
    QLineEdit *port = child<QLineEdit>(f, "txtIR_1");
    port->clear();
    port->setFocus();
    QTest::keyClicks(port, "1a0-4 ");
    QCOMPARE(port->text(), QString("104"));
    QTest::keyClick(port, Qt::Key_Backspace);
    QCOMPARE(port->text(), QString("10"));
    // The AE title box takes letters.
    QLineEdit *aet = child<QLineEdit>(f, "txtIR_0");
    aet->clear();
    QTest::keyClicks(aet, "AB1");
    QCOMPARE(aet->text(), QString("AB1"));
}

void TestOptionForm::unitOptionsTakeEffectAtOnce_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("unit");
    QTest::newRow("sophie") << "optSophie" << 1;
    QTest::newRow("giotto") << "optGiotto" << 2;
    QTest::newRow("lorad") << "optLoradM4" << 3;
    QTest::newRow("hfe") << "optHFE" << 5;
    QTest::newRow("ge senograph changes nothing") << "optGESeno" << 2;
}

void TestOptionForm::unitOptionsTakeEffectAtOnce()
{
    QFETCH(QString, option);
    QFETCH(int, unit);
    TestStation ts;
    ts->settings().xrayComm = 2;
    OptionForm f(*ts);
    child<QRadioButton>(f, option)->click();
    QCOMPARE(int(ts->settings().xrayComm), unit);
    // Cancel does not undo it: the type is already in memory.
    child<QPushButton>(f, "cmdCancel")->click();
    QCOMPARE(int(ts->settings().xrayComm), unit);
}

void TestOptionForm::unitFiveOpensUncheckedAndOkKeepsIt()
{
    TestStation ts;
    ts->settings().xrayComm = 5;
    OptionForm f(*ts);
    for (const char *o : {"optSophie", "optGiotto", "optLoradM4", "optGESeno", "optHFE"})
        QVERIFY2(!child<QRadioButton>(f, o)->isChecked(), o);
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(int(ts->settings().xrayComm), 5);
    QSettings raw(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(raw.value("General/XrayComm").toString(), QString("5"));
}

void TestOptionForm::timeOutsAsIntegerPart_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("saved");
    QTest::newRow("7.9") << "7.9" << 7;
    QTest::newRow("plain") << "12" << 12;
    QTest::newRow("not a number") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestOptionForm::timeOutsAsIntegerPart()
{
    QFETCH(QString, typed);
    QFETCH(int, saved);
    TestStation ts;
    OptionForm f(*ts);
    child<QLineEdit>(f, "Text1")->setText(typed);
    child<QLineEdit>(f, "Text2")->setText(typed);
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(int(ts->settings().timeOutStart), saved);
    QSettings raw(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(raw.value("ComPort/Time_Out_End").toString(), QString::number(saved));
}

void TestOptionForm::okSavesEverything()
{
    TestStation ts;
    OptionForm f(*ts);
    QSignalSpy saved(&f, &OptionForm::saved);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    child<QLineEdit>(f, "txtRC_1")->setText("4");
    child<QLineEdit>(f, "txtWorklist_2")->setText("127.0.0.1");
    child<QComboBox>(f, "Combo1")->setCurrentIndex(6);
    child<QRadioButton>(f, "Option2")->setChecked(true);
    child<QLineEdit>(f, "txtDevice")->setText("/dev/pts/3");
    child<QCheckBox>(f, "chkStopSvr")->setChecked(true);
    child<QCheckBox>(f, "chkDebug")->setChecked(true);
    child<QRadioButton>(f, "optLoradM4")->setChecked(true);
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(saved.count(), 1);
    const Settings &s = ts->settings();
    QCOMPARE(int(s.imagesPerPage), 8);
    QCOMPARE(s.worklist.ip, QString("127.0.0.1"));
    QCOMPARE(int(s.comSpeed), 6);
    QCOMPARE(int(s.comPort), 2);
    QCOMPARE(s.stopService, 1);
    QCOMPARE(int(s.xrayComm), 3);
    QSettings raw(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(raw.value("General/Viewer_Rows").toString(), QString("2"));
    QCOMPARE(raw.value("General/Debug").toString(), QString("1"));
    QCOMPARE(raw.value("ComPort/Speed").toString(), QString("6"));
    QCOMPARE(raw.value("ComPort/Port").toString(), QString("2"));
    QCOMPARE(raw.value("ComPort/Device").toString(), QString("/dev/pts/3"));
    QCOMPARE(raw.value("General/StopService").toString(), QString("1"));
    QCOMPARE(raw.value("General/XrayComm").toString(), QString("3"));
    QCOMPARE(f.result(), int(QDialog::Accepted));
}

void TestOptionForm::cancelSavesNothing()
{
    TestStation ts;
    OptionForm f(*ts);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    child<QPushButton>(f, "cmdCancel")->click();
    QCOMPARE(int(ts->settings().viewerRows), 7);
    QVERIFY(!QFile::exists(ts.settingsFile()) || !QSettings(ts.settingsFile(), QSettings::IniFormat).contains("General/Viewer_Rows"));
    QCOMPARE(f.result(), int(QDialog::Rejected));
}

void TestOptionForm::colourBoxUsesColourDialog()
{
    TestStation ts;
    ts.prompter.colours.push_back(qint32(0x0000FF)); // red as 0x00BBGGRR
    OptionForm f(*ts);
    f.show();
    QTest::mouseClick(child<QLineEdit>(f, "txtBackground"), Qt::LeftButton);
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY(child<QLineEdit>(f, "txtBackground")->styleSheet().contains("#ff0000"));
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(ts->settings().viewerBgColor, 255);
}

QTEST_MAIN(TestOptionForm)
#include "test_optionform.moc"
