#include "../companions/CompanionTestKit.h"
#include "TestStation.h"
#include "app/OptionsPages.h"
#include "dialogs/OptionForm.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QToolButton>
#include <QtTest>
#include <unistd.h>

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
    void refusedPeerFieldKeepsTheDialogOpen_data();
    void refusedPeerFieldKeepsTheDialogOpen();
    void peerFieldsSavedWithoutBlanksAround_data();
    void peerFieldsSavedWithoutBlanksAround();
    void mppsProviderFieldsGoTogether();
    void portBoxesRefusePastedText_data();
    void portBoxesRefusePastedText();
    void failedSaveKeepsTheDialogOpen_data();
    void failedSaveKeepsTheDialogOpen();
    void startSavesReceiverEditsOnlyWhenAsked_data();
    void startSavesReceiverEditsOnlyWhenAsked();
    void receiverStartsWithWhatTheDialogAccepts_data();
    void receiverStartsWithWhatTheDialogAccepts();
};

template <typename T> static T *child(QWidget &w, const QString &name)
{
    T *c = w.findChild<T *>(name);
    if (!c)
        qFatal("no control %s", qPrintable(name));
    return c;
}

// The worklist fields in order: Local AET, Remote AET, Remote Node, Remote Port.
static const QStringList FullWorklist{"MAMMO1", "WLM", "127.0.0.1", "104"};

static void fillWorklist(OptionForm &f, const QStringList &texts)
{
    for (int i = 0; i < 4; ++i)
        child<QLineEdit>(f, QString("txtWorklist_%1").arg(i))->setText(texts[i]);
}

static bool storeHas(TestStation &ts, const char *name)
{
    return QFile::exists(ts.settingsFile()) && QSettings(ts.settingsFile(), QSettings::IniFormat).contains(name);
}

void TestOptionForm::tabsInOrder()
{
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
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
    QTest::newRow("up from 10 stays") << "10"
                                      << "UpDown1_up"
                                      << "10";
    QTest::newRow("up from 9") << "9"
                               << "UpDown1_up"
                               << "10";
    QTest::newRow("down from 1 stays") << "1"
                                       << "UpDown1_down"
                                       << "1";
    QTest::newRow("down from 2") << "2"
                                 << "UpDown1_down"
                                 << "1";
}

void TestOptionForm::upDownBounds()
{
    QFETCH(QString, start);
    QFETCH(QString, button);
    QFETCH(QString, after);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    child<QLineEdit>(f, "txtRC_0")->setText(start);
    child<QToolButton>(f, button)->click();
    QCOMPARE(child<QLineEdit>(f, "txtRC_0")->text(), after);
}

void TestOptionForm::portBoxTakesDigitsOnly()
{
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
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
    OptionForm f(*ts, stationOptionsPages());
    QSignalSpy saved(&f, &OptionForm::saved);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    child<QLineEdit>(f, "txtRC_1")->setText("4");
    fillWorklist(f, FullWorklist);
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
    OptionForm f(*ts, stationOptionsPages());
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    child<QPushButton>(f, "cmdCancel")->click();
    QCOMPARE(int(ts->settings().viewerRows), 7);
    QVERIFY(!QFile::exists(ts.settingsFile())
            || !QSettings(ts.settingsFile(), QSettings::IniFormat).contains("General/Viewer_Rows"));
    QCOMPARE(f.result(), int(QDialog::Rejected));
}

void TestOptionForm::colourBoxUsesColourDialog()
{
    TestStation ts;
    ts.prompter.colours.push_back(qint32(0x0000FF)); // red as 0x00BBGGRR
    OptionForm f(*ts, stationOptionsPages());
    f.show();
    QTest::mouseClick(child<QLineEdit>(f, "txtBackground"), Qt::LeftButton);
    QCOMPARE(ts.prompter.shown.size(), 1);
    QVERIFY(child<QLineEdit>(f, "txtBackground")->styleSheet().contains("#ff0000"));
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(ts->settings().viewerBgColor, 255);
}

void TestOptionForm::refusedPeerFieldKeepsTheDialogOpen_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("worklist");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("problem");
    const QStringList none{"", "", "", ""};
    QTest::newRow("receiver AE title of 17")
        << "txtIR_0"
        << "ABCDEFGHIJKLMNOPQ" << none << 1 << "Receiver AE title: at most 16 characters, this one has 17";
    QTest::newRow("receiver AE title empty") << "txtIR_0"
                                             << "" << none << 1 << "Receiver AE title: required, 1 to 16 characters";
    QTest::newRow("receiver AE title of blanks")
        << "txtIR_0"
        << "    " << none << 1 << "Receiver AE title: not only blanks, 1 to 16 characters";
    QTest::newRow("receiver AE title with backslash")
        << "txtIR_0"
        << "MAMMO\\1" << none << 1 << "Receiver AE title: no backslash (\\)";
    QTest::newRow("receiver AE title with tab")
        << "txtIR_0"
        << "MAM\tMO" << none << 1 << "Receiver AE title: no control characters (tab, line break)";
    QTest::newRow("leading tab not dropped quietly")
        << "txtIR_0"
        << "\tMAMMO" << none << 1 << "Receiver AE title: no control characters (tab, line break)";
    QTest::newRow("receiver AE title with line break")
        << "txtIR_0"
        << "MAMMO\n"
        << none << 1 << "Receiver AE title: no control characters (tab, line break)";
    QTest::newRow("receiver AE title not ASCII")
        << "txtIR_0"
        << "MÜLLER" << none << 1 << "Receiver AE title: plain ASCII letters, digits and signs only, not \"Ü\"";
    QTest::newRow("receiver port 0") << "txtIR_1"
                                     << "0" << none << 1 << "Receiver port: a number from 1 to 65535";
    QTest::newRow("receiver port 65536") << "txtIR_1"
                                         << "65536" << none << 1 << "Receiver port: a number from 1 to 65535";
    QTest::newRow("receiver port of six digits") << "txtIR_1"
                                                 << "104104" << none << 1 << "Receiver port: a number from 1 to 65535";
    QTest::newRow("receiver port empty") << "txtIR_1"
                                         << "" << none << 1 << "Receiver port: required, a number from 1 to 65535";
    QTest::newRow("receiver port with a blank inside")
        << "txtIR_1"
        << "1 04" << none << 1 << "Receiver port: digits only, a number from 1 to 65535";
    QTest::newRow("receiver port signed")
        << "txtIR_1"
        << "+104" << none << 1 << "Receiver port: digits only, a number from 1 to 65535";
    QTest::newRow("receiver port in other digits")
        << "txtIR_1" << QString::fromUtf8("١٠٤") << none << 1 << "Receiver port: digits only, a number from 1 to 65535";
    QTest::newRow("worklist local AE title of 17") << "txtWorklist_0"
                                                   << "MAMMOGRAPHYROOM01" << FullWorklist << 4
                                                   << "Worklist local AE title: at most 16 characters, this one has 17";
    QTest::newRow("worklist remote AE title with backslash")
        << "txtWorklist_1"
        << "WL\\M" << FullWorklist << 4 << "Worklist remote AE title: no backslash (\\)";
    QTest::newRow("worklist remote port 70000")
        << "txtWorklist_3"
        << "70000" << FullWorklist << 4 << "Worklist remote port: a number from 1 to 65535";
    QTest::newRow("worklist used, local AE title empty")
        << "txtWorklist_0"
        << "" << FullWorklist << 4 << "Worklist local AE title: required, 1 to 16 characters";
    QTest::newRow("worklist used, node empty")
        << "txtWorklist_2"
        << "" << FullWorklist << 4 << "Worklist remote node: required once a worklist field is filled";
}

void TestOptionForm::refusedPeerFieldKeepsTheDialogOpen()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QStringList, worklist);
    QFETCH(int, tab);
    QFETCH(QString, problem);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QSignalSpy saved(&f, &OptionForm::saved);
    fillWorklist(f, worklist);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    // setText passes the port boxes' validators by, as a program filling them would.
    child<QLineEdit>(f, box)->setText(text);
    f.tabs()->setCurrentIndex(0);
    child<QPushButton>(f, "cmdOK")->click();

    QVERIFY(f.isVisible());
    QCOMPARE(f.result(), 0);
    QCOMPARE(saved.count(), 0);
    auto *label = child<QLabel>(f, "lblProblem");
    QVERIFY(label->isVisible());
    QCOMPARE(label->text(), problem);
    // The refused field is in front, with the focus.
    QCOMPARE(f.tabs()->currentIndex(), tab);
    QCOMPARE(QApplication::focusWidget(), child<QLineEdit>(f, box));
    // Nothing reached memory or the store.
    QCOMPARE(int(ts->settings().viewerRows), 7);
    QVERIFY(!storeHas(ts, "General/Viewer_Rows"));
    // The whole text shows: the dialog made room for it.
    f.layout()->activate();
    QVERIFY2(label->height() >= label->heightForWidth(label->width()),
             qPrintable(QString("%1 < %2").arg(label->height()).arg(label->heightForWidth(label->width()))));

    // Mended, OK saves and closes.
    const QString mended = box == "txtIR_1" || box == "txtWorklist_3" ? "11112"
                           : box == "txtWorklist_2"                   ? "wl.local"
                                                                      : "MAMMO1";
    child<QLineEdit>(f, box)->setText(mended);
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(f.result(), int(QDialog::Accepted));
    QCOMPARE(saved.count(), 1);
    QVERIFY(label->isHidden());
}

void TestOptionForm::peerFieldsSavedWithoutBlanksAround_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::newRow("receiver AE title, blanks around and inside") << "txtIR_0"
                                                                 << "  MAMMO 1  "
                                                                 << "Com/IR_AET"
                                                                 << "MAMMO 1";
    QTest::newRow("receiver AE title of 16 between blanks") << "txtIR_0"
                                                            << " ABCDEFGHIJKLMNOP   "
                                                            << "Com/IR_AET"
                                                            << "ABCDEFGHIJKLMNOP";
    QTest::newRow("receiver port between blanks") << "txtIR_1"
                                                  << " 11112 "
                                                  << "Com/IR_Port"
                                                  << "11112";
    QTest::newRow("worklist remote AE title") << "txtWorklist_1"
                                              << " WLM  "
                                              << "Worklist/RemoteAET"
                                              << "WLM";
    QTest::newRow("worklist remote port") << "txtWorklist_3"
                                          << "  65535"
                                          << "Worklist/RemotePort"
                                          << "65535";
}

void TestOptionForm::mppsProviderFieldsGoTogether()
{
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    f.show();
    fillWorklist(f, FullWorklist);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    // A port alone is no provider: the AE title is asked for.
    child<QLineEdit>(f, "txtMpps_2")->setText("4100");
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(f.result(), 0);
    QCOMPARE(child<QLabel>(f, "lblProblem")->text(), QString("MPPS remote AE title: required, 1 to 16 characters"));
    QVERIFY(!storeHas(ts, "Mpps/RemotePort"));

    child<QLineEdit>(f, "txtMpps_0")->setText(" RIS ");
    child<QLineEdit>(f, "txtMpps_1")->setText("ris.local ");
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(f.result(), int(QDialog::Accepted));
    const QSettings stored(ts.settingsFile(), QSettings::IniFormat);
    QCOMPARE(stored.value("Mpps/RemoteAET").toString(), QString("RIS"));
    QCOMPARE(stored.value("Mpps/RemoteIP").toString(), QString("ris.local"));
    QCOMPARE(stored.value("Mpps/RemotePort").toString(), QString("4100"));
    QCOMPARE(ts->settings().mpps.aet, QString("RIS"));
}

void TestOptionForm::peerFieldsSavedWithoutBlanksAround()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, key);
    QFETCH(QString, stored);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    fillWorklist(f, FullWorklist);
    child<QLineEdit>(f, box)->setText(text);
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(f.result(), int(QDialog::Accepted));
    QCOMPARE(QSettings(ts.settingsFile(), QSettings::IniFormat).value(key).toString(), stored);
    // The box shows what was stored, and says that blanks around are dropped.
    QCOMPARE(child<QLineEdit>(f, box)->text(), stored);
    if (key.contains("AET"))
        QVERIFY(child<QLineEdit>(f, box)->toolTip().contains("blanks before and after are dropped"));
}

void TestOptionForm::portBoxesRefusePastedText_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("after");
    for (const char *b : {"txtIR_1", "txtWorklist_3"}) {
        QTest::addRow("%s: letters", b) << b << "12ab"
                                        << "";
        QTest::addRow("%s: a blank", b) << b << "11 112"
                                        << "";
        QTest::addRow("%s: a sign", b) << b << "-104"
                                       << "";
        QTest::addRow("%s: six digits", b) << b << "104104"
                                           << "";
        QTest::addRow("%s: digits", b) << b << "11112"
                                       << "11112";
    }
}

void TestOptionForm::portBoxesRefusePastedText()
{
    QFETCH(QString, box);
    QFETCH(QString, pasted);
    QFETCH(QString, after);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    f.show();
    QLineEdit *port = child<QLineEdit>(f, box);
    port->clear();
    QApplication::clipboard()->setText(pasted);
    port->paste();
    QCOMPARE(port->text(), after);
}

void TestOptionForm::failedSaveKeepsTheDialogOpen_data()
{
    QTest::addColumn<bool>("readOnlyFile");
    // Root writes read-only files: for root that case cannot happen, the folder stands in.
    if (::geteuid() != 0)
        QTest::newRow("read-only settings file") << true;
    else
        qInfo("running as root: a read-only settings file is writable, only the folder case runs");
    QTest::newRow("a folder where the settings file should be") << false;
}

void TestOptionForm::failedSaveKeepsTheDialogOpen()
{
    QFETCH(bool, readOnlyFile);
    TestStation ts;
    if (readOnlyFile) {
        ts->settingsStore().writeValue("General/Viewer_Rows", "7");
        QFile(ts.settingsFile()).setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    } else {
        QVERIFY(QDir().mkpath(ts.settingsFile()));
    }
    OptionForm f(*ts, stationOptionsPages());
    QSignalSpy saved(&f, &OptionForm::saved);
    child<QLineEdit>(f, "txtRC_0")->setText("2");
    child<QPushButton>(f, "cmdOK")->click();
    QCOMPARE(f.result(), 0);
    QCOMPARE(saved.count(), 0);
    QCOMPARE(ts.prompter.shown.size(), 1);
    QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Critical);
    QVERIFY2(ts.prompter.lastText().startsWith("The settings could not be saved"), qPrintable(ts.prompter.lastText()));
    // Memory holds what the store holds, not what the dialog failed to save.
    QCOMPARE(int(ts->settings().viewerRows), 7);
    QCOMPARE(int(ts->settings().imagesPerPage), 21);
}

void TestOptionForm::startSavesReceiverEditsOnlyWhenAsked_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<QString>("stored");
    QTest::newRow("edited, No: nothing saved")
        << 0 << "11112" << false
        << "yesno:The receiver's AE title or port was changed here and is not saved yet.\n\n"
           "Save AE title \"NEWAET\" and port 11112 now and start the receiver with them?\n"
           "(No: nothing is saved and the receiver is not started.)"
        << "";
    QTest::newRow("edited, Yes: saved for the start") << 0 << " 11112 " << true << "yesno"
                                                      << "11112";
    QTest::newRow("edited and refused: not asked")
        << 0 << "70000" << true << "message:Receiver port: a number from 1 to 65535\nThe receiver was not started."
        << "";
    QTest::newRow("data manager: receiver edits left alone") << 1 << "11112" << true << ""
                                                             << "";
}

void TestOptionForm::startSavesReceiverEditsOnlyWhenAsked()
{
    QFETCH(int, button);
    QFETCH(QString, port);
    QFETCH(bool, answer);
    QFETCH(QString, asked);
    QFETCH(QString, stored);
    // No companion executables: Start starts nothing, and what it saved shows.
    QTemporaryDir noBin;
    const QByteArray binDir = qgetenv("CALVAREX_BIN_DIR");
    qputenv("CALVAREX_BIN_DIR", noBin.path().toLocal8Bit());
    TestStation ts;
    ts.prompter.yesNo.push_back(answer);
    {
        OptionForm f(*ts, stationOptionsPages());
        child<QLineEdit>(f, "txtIR_0")->setText("NEWAET");
        child<QLineEdit>(f, "txtIR_1")->setText(port);
        child<QPushButton>(f, QString("cmdStart_%1").arg(button))->click();
        QStringList shown;
        for (const auto &s : ts.prompter.shown)
            shown << s.kind + (asked.contains(':') ? ":" + s.text : QString());
        QCOMPARE(shown.join("|"), asked);
        if (!stored.isEmpty())
            QCOMPARE(child<QLineEdit>(f, "txtIR_1")->text(), stored);
        child<QPushButton>(f, "cmdCancel")->click();
    }
    qputenv("CALVAREX_BIN_DIR", binDir);
    // After Cancel, only what the operator agreed to save is left, in the store and in memory.
    const QString storedAet = stored.isEmpty() ? QString() : QString("NEWAET");
    QCOMPARE(QSettings(ts.settingsFile(), QSettings::IniFormat).value("Com/IR_Port").toString(), stored);
    QCOMPARE(QSettings(ts.settingsFile(), QSettings::IniFormat).value("Com/IR_AET").toString(), storedAet);
    QCOMPARE(ts->settings().irPort, stored.isEmpty() ? QString("105") : stored);
    QCOMPARE(ts->settings().irAet, stored.isEmpty() ? QString("TqStation") : storedAet);
}

void TestOptionForm::receiverStartsWithWhatTheDialogAccepts_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("aet");
    QTest::newRow("blanks around and inside") << "  MAMMO 1  "
                                              << "MAMMO 1";
    QTest::newRow("16 characters between blanks") << " ABCDEFGHIJKLMNOP "
                                                  << "ABCDEFGHIJKLMNOP";
    QTest::newRow("one character") << "A "
                                   << "A";
    QTest::newRow("signs and small letters") << " x-ray_room.2/b "
                                             << "x-ray_room.2/b";
}

void TestOptionForm::receiverStartsWithWhatTheDialogAccepts()
{
    QFETCH(QString, typed);
    QFETCH(QString, aet);
    kit::LiveStation live(freeTcpPort());
    OptionForm f(*live, stationOptionsPages());
    const quint16 port = freeTcpPort();
    child<QLineEdit>(f, "txtIR_0")->setText(typed);
    child<QLineEdit>(f, "txtIR_1")->setText(" " + QString::number(port));
    live.prompter.yesNo.push_back(true);
    child<QPushButton>(f, "cmdStart_0")->click();
    // The box shows the AE title as saved, without the blanks around it ...
    QCOMPARE(child<QLineEdit>(f, "txtIR_0")->text(), aet);
    // ... and the receiver answers to it.
    live.aeTitle = aet;
    live.port = port;
    QVERIFY(live.waitForReceiver());
    Companions::StopReceiver(*live);
}

QTEST_MAIN(TestOptionForm)
#include "test_optionform.moc"
