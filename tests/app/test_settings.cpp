#include "TestStation.h"
#include "core/SettingsStore.h"

#include <QSettings>
#include <QtTest>

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void defaultsOnEmptyStore_data();
    void defaultsOnEmptyStore();
    void conversions_data();
    void conversions();
    void colourReadAsHexSavedAsDecimal();
    void badNumberLeavesPreviousValue();
    void emptyDebugReadsAsOff();
    void saveWritesEveryValueAsTextInOrder();
    void roundTripKeepsValues();
    void readValueFallsBackToDefault();
};

void TestSettings::defaultsOnEmptyStore_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rows") << "viewerRows"
                          << "7";
    QTest::newRow("columns") << "viewerColumns"
                             << "3";
    QTest::newRow("per page") << "imagesPerPage"
                              << "21";
    QTest::newRow("bg") << "viewerBgColor"
                        << "0";
    QTest::newRow("fg") << "viewerFgColor"
                        << "12648447";
    QTest::newRow("edit and send") << "editAndSend"
                                   << "0";
    QTest::newRow("sent and keep") << "sentAndKeep"
                                   << "1";
    QTest::newRow("auto window") << "autoWindow"
                                 << "0";
    QTest::newRow("compute window") << "computeWindow"
                                    << "0";
    QTest::newRow("custom width") << "customWidth"
                                  << "0";
    QTest::newRow("custom center") << "customCenter"
                                   << "0";
    QTest::newRow("stop service") << "stopService"
                                  << "0";
    QTest::newRow("ir aet") << "irAet"
                            << "TqStation";
    QTest::newRow("ir port") << "irPort"
                             << "105";
    QTest::newRow("scp aet") << "scpAet"
                             << "";
    QTest::newRow("worklist local") << "worklistLocalAet"
                                    << "";
    QTest::newRow("speed") << "comSpeed"
                           << "5";
    QTest::newRow("parity") << "comParity"
                            << "2";
    QTest::newRow("bits") << "comBitGet"
                          << "4";
    QTest::newRow("stop bits") << "comBitPut"
                               << "0";
    QTest::newRow("flux") << "comFlux"
                          << "0";
    QTest::newRow("port") << "comPort"
                          << "1";
    QTest::newRow("timeout start") << "timeOutStart"
                                   << "5";
    QTest::newRow("timeout end") << "timeOutEnd"
                                 << "5";
    QTest::newRow("device") << "comDevice"
                            << "";
    QTest::newRow("filter") << "filterActive"
                            << "";
    QTest::newRow("debug") << "debug"
                           << "0";
    QTest::newRow("unit") << "xrayComm"
                          << "1";
}

static QString field(const Settings &s, const QString &name)
{
    const QHash<QString, QString> v = {{"viewerRows", QString::number(s.viewerRows)},
                                       {"viewerColumns", QString::number(s.viewerColumns)},
                                       {"imagesPerPage", QString::number(s.imagesPerPage)},
                                       {"viewerBgColor", QString::number(s.viewerBgColor)},
                                       {"viewerFgColor", QString::number(s.viewerFgColor)},
                                       {"editAndSend", QString::number(s.editAndSend)},
                                       {"sentAndKeep", QString::number(s.sentAndKeep)},
                                       {"autoWindow", QString::number(s.autoWindow)},
                                       {"computeWindow", QString::number(s.computeWindow)},
                                       {"customWidth", s.customWidth},
                                       {"customCenter", s.customCenter},
                                       {"stopService", QString::number(s.stopService)},
                                       {"irAet", s.irAet},
                                       {"irPort", s.irPort},
                                       {"scpAet", s.scp.aet},
                                       {"worklistLocalAet", s.worklistLocalAet},
                                       {"comSpeed", QString::number(s.comSpeed)},
                                       {"comParity", QString::number(s.comParity)},
                                       {"comBitGet", QString::number(s.comBitGet)},
                                       {"comBitPut", QString::number(s.comBitPut)},
                                       {"comFlux", QString::number(s.comFlux)},
                                       {"comPort", QString::number(s.comPort)},
                                       {"timeOutStart", QString::number(s.timeOutStart)},
                                       {"timeOutEnd", QString::number(s.timeOutEnd)},
                                       {"comDevice", s.comDevice},
                                       {"filterActive", s.filterActive},
                                       {"debug", QString::number(s.debug)},
                                       {"xrayComm", QString::number(s.xrayComm)}};
    return v.value(name, QStringLiteral("<unknown field>"));
}

void TestSettings::defaultsOnEmptyStore()
{
    QFETCH(QString, field);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    SettingsStore store(dir.filePath("s.ini"));
    Settings s;
    store.load(s);
    QCOMPARE(::field(s, field), expected);
}

void TestSettings::conversions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok16");
    QTest::addColumn<int>("value16");
    QTest::addColumn<bool>("okColour");
    QTest::addColumn<qint64>("colour");
    QTest::newRow("plain") << "7" << true << 7 << true << qint64(7);
    QTest::newRow("blanks") << " 12 " << true << 12 << true << qint64(12);
    QTest::newRow("half rounds to even") << "2.5" << true << 2 << true << qint64(2);
    QTest::newRow("rounds up") << "7.6" << true << 8 << true << qint64(8);
    QTest::newRow("negative") << "-3" << true << -3 << true << qint64(-3);
    QTest::newRow("hex") << "&H10" << true << 16 << true << qint64(16);
    QTest::newRow("hex colour") << "&H00C0FFFF&" << false << 0 << true << qint64(12648447);
    QTest::newRow("blue") << "&H00FF0000&" << false << 0 << true << qint64(16711680);
    QTest::newRow("16-bit overflow") << "40000" << false << 0 << true << qint64(40000);
    QTest::newRow("letters") << "abc" << false << 0 << false << qint64(0);
    QTest::newRow("empty") << "" << false << 0 << false << qint64(0);
    QTest::newRow("number then letters") << "12abc" << false << 0 << false << qint64(0);
}

void TestSettings::conversions()
{
    QFETCH(QString, text);
    QFETCH(bool, ok16);
    QFETCH(int, value16);
    QFETCH(bool, okColour);
    QFETCH(qint64, colour);
    const auto v16 = SettingsStore::toInt16(text);
    QCOMPARE(v16.has_value(), ok16);
    if (ok16)
        QCOMPARE(int(*v16), value16);
    const auto c = SettingsStore::toColour(text);
    QCOMPARE(c.has_value(), okColour);
    if (okColour)
        QCOMPARE(qint64(*c), colour);
}

void TestSettings::colourReadAsHexSavedAsDecimal()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    {
        QSettings raw(ini, QSettings::IniFormat);
        raw.setValue("General/Viewer_bgColor", "&H00FF0000&");
    }
    SettingsStore store(ini);
    Settings s;
    store.load(s);
    QCOMPARE(s.viewerBgColor, 16711680);
    store.save(s);
    QSettings raw(ini, QSettings::IniFormat);
    QCOMPARE(raw.value("General/Viewer_bgColor").toString(), QString("16711680"));
    // The default foreground colour is written back as decimal text too.
    QCOMPARE(raw.value("General/Viewer_fgColor").toString(), QString("12648447"));
}

void TestSettings::badNumberLeavesPreviousValue()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    {
        QSettings raw(ini, QSettings::IniFormat);
        raw.setValue("General/Viewer_Rows", "abc");
    }
    SettingsStore store(ini);
    Settings fresh;
    store.load(fresh);
    QCOMPARE(int(fresh.viewerRows), 0); // a fresh start
    QCOMPARE(int(fresh.imagesPerPage), 0);

    Settings earlier;
    earlier.viewerRows = 4;
    store.load(earlier);
    QCOMPARE(int(earlier.viewerRows), 4);
    QCOMPARE(int(earlier.imagesPerPage), 12);
}

void TestSettings::emptyDebugReadsAsOff()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    {
        QSettings raw(ini, QSettings::IniFormat);
        raw.setValue("General/Debug", "");
    }
    SettingsStore store(ini);
    Settings s;
    store.load(s);
    QCOMPARE(int(s.debug), 0);
}

void TestSettings::saveWritesEveryValueAsTextInOrder()
{
    const QStringList order = SettingsStore::saveOrder();
    QCOMPARE(order.first(), QString("General/Debug"));
    QCOMPARE(order.indexOf("General/XrayComm"), order.indexOf("General/StopService") + 1);
    QCOMPARE(order.indexOf("Com/IR_AET"), order.indexOf("General/XrayComm") + 1);
    QCOMPARE(order.last(), QString("Filter/Active"));
    QCOMPARE(order.indexOf("ComPort/Time_Out_End"), order.indexOf("ComPort/Time_Out_Start") + 1);

    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    SettingsStore store(ini);
    Settings s;
    store.load(s);
    store.save(s);
    QSettings raw(ini, QSettings::IniFormat);
    for (const QString &name : order) {
        QVERIFY2(raw.contains(name), qPrintable(name));
        QCOMPARE(raw.value(name).typeId(), QMetaType::QString);
    }
    QCOMPARE(raw.value("General/Viewer_Rows").toString(), QString("7"));
    QCOMPARE(raw.value("Com/IR_Port").toString(), QString("105"));
}

void TestSettings::roundTripKeepsValues()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    Settings s;
    {
        SettingsStore store(ini);
        store.load(s);
        s.viewerRows = 2;
        s.viewerColumns = 4;
        s.viewerFgColor = 255;
        s.worklist = {"127.0.0.1", "WLM", "1104"};
        s.worklistLocalAet = "MAMMO1";
        s.xrayComm = 5;
        s.comDevice = "/dev/pts/7";
        s.stopService = 1;
        store.save(s);
    }
    SettingsStore again(ini);
    Settings t;
    again.load(t);
    QCOMPARE(int(t.imagesPerPage), 8);
    QCOMPARE(t.viewerFgColor, 255);
    QCOMPARE(t.worklist.ip, QString("127.0.0.1"));
    QCOMPARE(t.worklist.aet, QString("WLM"));
    QCOMPARE(t.worklist.port, QString("1104"));
    QCOMPARE(t.worklistLocalAet, QString("MAMMO1"));
    QCOMPARE(int(t.xrayComm), 5);
    QCOMPARE(t.comDevice, QString("/dev/pts/7"));
    QCOMPARE(t.stopService, 1);
}

void TestSettings::readValueFallsBackToDefault()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("s.ini");
    SettingsStore store(ini);
    QCOMPARE(store.readValue("Export/Quality", "75"), QString("75"));
    QVERIFY(store.writeValue("Export/Quality", ""));
    QCOMPARE(store.readValue("Export/Quality", "75"), QString("75"));
    QVERIFY(store.writeValue("Export/Quality", "90"));
    QCOMPARE(store.readValue("Export/Quality", "75"), QString("90"));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
