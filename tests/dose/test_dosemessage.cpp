// Parsing of the units' exposure messages into the values of a dose record.
#include "core/AppError.h"
#include "dose/DoseMessage.h"

#include <QTest>

using namespace DoseMessage;

static const QString Sq = QStringLiteral("\u00B2");

class TestDoseMessage : public QObject {
    Q_OBJECT
private slots:
    void splitIntoMessages_data();
    void splitIntoMessages();
    void unitTypeChoosesFormat_data();
    void unitTypeChoosesFormat();
    void semicolonValues_data();
    void semicolonValues();
    void semicolonWithoutUnitFails_data();
    void semicolonWithoutUnitFails();
    void channelValues_data();
    void channelValues();
    void channelWithoutStartFails();
    void emptyTextHasNoTokens();
};

void TestDoseMessage::unitTypeChoosesFormat_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("format");
    QTest::newRow("Sophie") << 1 << int(Format::Channel);
    QTest::newRow("Giotto") << 2 << int(Format::Channel);
    QTest::newRow("Lorad M4") << 3 << int(Format::Channel);
    QTest::newRow("value 4") << 4 << int(Format::Channel);
    QTest::newRow("HFE 501") << 5 << int(Format::Semicolon);
    QTest::newRow("above 5") << 6 << int(Format::None);
}

void TestDoseMessage::unitTypeChoosesFormat()
{
    QFETCH(int, unit);
    QFETCH(int, format);
    QCOMPARE(int(formatFor(unit)), format);
}

void TestDoseMessage::semicolonValues_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("mGy1");
    QTest::addColumn<QString>("mGy2");
    QTest::addColumn<QString>("mGy3");
    QTest::addColumn<QString>("expTime");

    QTest::newRow("typical") << QStringLiteral("12.50cGyCm%1;28kV;56mAs;W/Rh;350ms;18mm\r\n").arg(Sq) << "12.50"
                             << "28"
                             << "56"
                             << "350";
    // The whole field carrying the unit is the value, however long it is.
    QTest::newRow("value longer than five characters")
        << QStringLiteral("123.45cGyCm%1;30kV;80mAs;Mo;410ms;x\r\n").arg(Sq) << "123.45"
        << "30"
        << "80"
        << "410";
    QTest::newRow("short value at the very start") << QStringLiteral("5cGyCm%1;28kV;56mAs;W;350ms;x\r\n").arg(Sq) << "5"
                                                   << "28"
                                                   << "56"
                                                   << "350";
    QTest::newRow("short value after other text") << QStringLiteral("ID77;5cGyCm%1;28kV;56mAs;W;350ms;x").arg(Sq) << "5"
                                                  << "28"
                                                  << "56"
                                                  << "350";
    QTest::newRow("rest of an earlier message in front")
        << QStringLiteral(";18mm\r\n9.75cGyCm%1;27kV;44mAs;W;310ms;36mm\r\n").arg(Sq) << "9.75"
        << "27"
        << "44"
        << "310";
    QTest::newRow("blanks around values")
        << QStringLiteral(" 12.50 cGyCm%1; 28 kV ; 56 mAs;W; 350 ms;x").arg(Sq) << "12.50"
        << "28"
        << "56"
        << "350";
    // The exposure time is the last character of the message: the line break of the
    // hand-over must not end up in the record.
    QTest::newRow("message ends with ms") << QStringLiteral("12.50cGyCm%1;28kV;56mAs;W/Rh;350ms\r\n").arg(Sq) << "12.50"
                                          << "28"
                                          << "56"
                                          << "350";
    // Each value comes from the field that carries its unit: an empty field never moves
    // a value into another column.
    QTest::newRow("empty fourth field") << QStringLiteral("12.50cGyCm%1;28kV;56mAs;;350ms;18mm").arg(Sq) << "12.50"
                                        << "28"
                                        << "56"
                                        << "350";
    QTest::newRow("empty kV field") << QStringLiteral("12.50cGyCm%1;;56mAs;W/Rh;350ms;18mm").arg(Sq) << "12.50"
                                    << ""
                                    << "56"
                                    << "350";
    QTest::newRow("fields in another order") << QStringLiteral("12.50cGyCm%1;56mAs;28kV;350ms").arg(Sq) << "12.50"
                                             << "28"
                                             << "56"
                                             << "350";
    QTest::newRow("value without its unit keeps its place")
        << QStringLiteral("12.50cGyCm%1;28;56mAs;W;350ms").arg(Sq) << "12.50"
        << "28"
        << "56"
        << "350";
    // A noise byte in front of a value is not part of it.
    QTest::newRow("noise before the dose") << QStringLiteral("\u00FF4.5cGyCm%1;28kV;56mAs;W;350ms").arg(Sq) << "4.5"
                                           << "28"
                                           << "56"
                                           << "350";
    QTest::newRow("noise before kV") << QStringLiteral("4.5cGyCm%1;\u00FF28kV;56mAs;W;350ms").arg(Sq) << "4.5"
                                     << "28"
                                     << "56"
                                     << "350";
    QTest::newRow("fewer fields than five") << QStringLiteral("12.50cGyCm%1;28kV").arg(Sq) << "12.50"
                                            << "28"
                                            << ""
                                            << "";
    // A unit sending UTF-8 writes the superscript two as two bytes.
    QTest::newRow("UTF-8 superscript") << QStringLiteral("12.50cGyCm\u00C2\u00B2;28kV;56mAs;W/Rh;350ms;18mm") << "12.50"
                                       << "28"
                                       << "56"
                                       << "350";
}

void TestDoseMessage::semicolonValues()
{
    QFETCH(QString, message);
    const Values v = DoseMessage::semicolonValues(semicolonFields(message));
    QTEST(v.mGy1, "mGy1");
    QTEST(v.mGy2, "mGy2");
    QTEST(v.mGy3, "mGy3");
    QTEST(v.expTime, "expTime");
}

void TestDoseMessage::semicolonWithoutUnitFails_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("no unit") << QStringLiteral("12.50;28kV;56mAs;W/Rh;350ms");
    QTest::newRow("unit in other case") << QStringLiteral("12.50cgycm%1;28kV;56mAs;W;350ms").arg(Sq);
    QTest::newRow("line noise") << QStringLiteral("\x01\x02 350ms");
}

void TestDoseMessage::semicolonWithoutUnitFails()
{
    QFETCH(QString, message);
    QVERIFY_THROWS_EXCEPTION(AppError, semicolonTokens(message));
}

void TestDoseMessage::channelValues_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("tokens");
    QTest::addColumn<QString>("v1");
    QTest::addColumn<QString>("v6");
    QTest::addColumn<QString>("v11");

    const QString sophie = QStringLiteral("CH1 1.31 mGy 445 ms\r\nCH2 29 kV Mo Rh\r\nCH3 55 mAs 83 N\r\n");
    QTest::newRow("Sophie") << sophie << QStringList{"CH1", "1.31", "mGy", "445", "ms",  "CH2", "29", "kV",
                                                     "Mo",  "Rh",   "CH3", "55",  "mAs", "83",  "N"}
                            << "1.31"
                            << "29"
                            << "55";
    QTest::newRow("text before CH1 is dropped")
        << QStringLiteral("READY\r\nCH1: 2.05 mGy AEC 400ms\r\nCH2: 28 kV W/Ag 0\r\nCH3: 71 mAs 50 mm\r\n")
        << QStringList{"CH1:", "2.05", "mGy",  "AEC", "400ms", "CH2:", "28", "kV",
                       "W/Ag", "0",    "CH3:", "71",  "mAs",   "50",   "mm"}
        << "2.05"
        << "28"
        << "71";
    QTest::newRow("fewer than twelve tokens") << QStringLiteral("CH1 1.5 mGy 0 0 CH2 27\r\n")
                                              << QStringList{"CH1", "1.5", "mGy", "0", "0", "CH2", "27"} << "1.5"
                                              << "27"
                                              << "";
    QTest::newRow("double blanks are no tokens")
        << QStringLiteral("CH1  0.9   mGy") << QStringList{"CH1", "0.9", "mGy"} << "0.9"
        << ""
        << "";
    // A lone line feed separates like CR LF: it must not glue two values together.
    QTest::newRow("lone line feed") << QStringLiteral("CH1 1.2\nCH2 a b c d 27")
                                    << QStringList{"CH1", "1.2", "CH2", "a", "b", "c", "d", "27"} << "1.2"
                                    << "d"
                                    << "";
    QTest::newRow("Sophie with line feeds only")
        << QStringLiteral("CH1 1.31 mGy 445 ms\nCH2 29 kV Mo Rh\rCH3 55 mAs 83 N\n")
        << QStringList{"CH1", "1.31", "mGy", "445", "ms", "CH2", "29", "kV", "Mo", "Rh", "CH3", "55", "mAs", "83", "N"}
        << "1.31"
        << "29"
        << "55";
}

void TestDoseMessage::channelValues()
{
    QFETCH(QString, message);
    QFETCH(QStringList, tokens);
    const QStringList got = channelTokens(message);
    QCOMPARE(got, tokens);
    const Values v = DoseMessage::channelValues(got);
    QTEST(v.mGy1, "v1");
    QTEST(v.mGy2, "v6");
    QTEST(v.mGy3, "v11");
    QVERIFY(v.expTime.isEmpty());
}

void TestDoseMessage::channelWithoutStartFails()
{
    QVERIFY_THROWS_EXCEPTION(AppError, channelTokens(QStringLiteral("\r\n\r\n")));
    QVERIFY_THROWS_EXCEPTION(AppError, channelTokens(QStringLiteral("ch1 1.2 mGy")));
}

void TestDoseMessage::emptyTextHasNoTokens()
{
    QVERIFY(channelTokens(QString()).isEmpty());
    QVERIFY(semicolonTokens(QString()).isEmpty());
    QVERIFY(tokens(Format::None, QStringLiteral("CH1 1 2")).isEmpty());
}

void TestDoseMessage::splitIntoMessages_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("final");
    QTest::addColumn<QStringList>("complete");
    QTest::addColumn<int>("incomplete");
    QTest::addColumn<QString>("rest");
    const QString a = QStringLiteral("12.50cGyCm%1;28kV;56mAs;W/Rh;350ms;18mm").arg(Sq);
    const QString b = QStringLiteral("13.75cGyCm%1;29kV;63mAs;W/Rh;410ms").arg(Sq);
    QTest::newRow("one, waiting for its line end") << a << false << QStringList{} << 0 << a;
    QTest::newRow("one, CR LF") << a + "\r\n" << false << QStringList{a} << 0 << "";
    QTest::newRow("two, CR LF") << a + "\r\n" + b + "\r\n" << false << QStringList{a, b} << 0 << "";
    QTest::newRow("two, CR only") << a + "\r" + b + "\r" << false << QStringList{a, b} << 0 << "";
    QTest::newRow("two, LF only") << a + "\n" + b + "\n" << false << QStringList{a, b} << 0 << "";
    QTest::newRow("one and the start of the next") << a + "\r\n13.7" << false << QStringList{a} << 0 << "13.7";
    QTest::newRow("one and the next up to its unit")
        << a + "\r\n13.75cGyCm" + Sq + ";29" << false << QStringList{a} << 0 << "13.75cGyCm" + Sq + ";29";
    QTest::newRow("cut short, then a whole one") << QStringLiteral("9.1cGyCm%1;27kV;4\r\n").arg(Sq) + b + "\r\n"
                                                 << false << QStringList{b} << 1 << "";
    QTest::newRow("line end lost") << a + b + "\r\n" << false << QStringList{a, b} << 0 << "";
    QTest::newRow("line end lost after ms")
        << QStringLiteral("12.50cGyCm%1;28kV;56mAs;W;350ms").arg(Sq) + b + "\r\n"
        << false << QStringList{QStringLiteral("12.50cGyCm%1;28kV;56mAs;W;350ms").arg(Sq), b} << 0 << "";
    QTest::newRow("noise byte before a message") << "\u00FF" + a + "\r\n" << false << QStringList{a} << 1 << "";
    QTest::newRow("a line without a dose")
        << QStringLiteral("E17 tube warm;350ms\r\n") << false << QStringList{} << 1 << "";
    QTest::newRow("Fill takes the last one without its line end") << a << true << QStringList{a} << 0 << "";
    QTest::newRow("Fill takes the last one as it stands")
        << QStringLiteral("9.1cGyCm%1;27kV").arg(Sq) << true << QStringList{QStringLiteral("9.1cGyCm%1;27kV").arg(Sq)}
        << 0 << "";
    QTest::newRow("Fill keeps what follows the last line end aside")
        << a + "\r\n13.7" << true << QStringList{a} << 1 << "";
    QTest::newRow("Fill keeps one cut short before another aside")
        << QStringLiteral("9.1cGyCm%1;27kV\r\n").arg(Sq) + a << true << QStringList{a} << 1 << "";
}

void TestDoseMessage::splitIntoMessages()
{
    QFETCH(QString, text);
    QFETCH(bool, final);
    const DoseMessage::SemicolonSplit got = DoseMessage::splitSemicolon(text, final);
    QTEST(got.complete, "complete");
    QTEST(int(got.incomplete.size()), "incomplete");
    QTEST(got.rest, "rest");
}

QTEST_GUILESS_MAIN(TestDoseMessage)
#include "test_dosemessage.moc"
