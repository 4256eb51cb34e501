// The dose report window as the operator reads it: a report written to a file and read
// back, its exposures with their units, "–" where the unit sent nothing, the sums.
#include "DoseReportSamples.h"
#include "TestStation.h"
#include "dose/DoseReports.h"
#include "ui/DoseReportForm.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

namespace {

const QString StudyUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.3.20261210");

QStringList rowTexts(const QTableWidget *t, int row)
{
    QStringList out;
    for (int c = 0; c < t->columnCount(); ++c)
        out << (t->item(row, c) ? t->item(row, c)->text() : QStringLiteral("<none>"));
    return out;
}

QStringList headerTexts(const QTableWidget *t)
{
    QStringList out;
    for (int c = 0; c < t->columnCount(); ++c)
        out << t->horizontalHeaderItem(c)->text();
    return out;
}

} // namespace

class TestDoseReportForm : public QObject {
    Q_OBJECT
private slots:
    void showsWhatTheKeptReportSays_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QStringList>("accumulated");
        QTest::addColumn<QStringList>("header");
        QTest::newRow("HFE 501") << "HFE 501"
                                 << QList<QStringList>{{"1", "CC", "Right", "2026-12-10 14:03:22", "9.6E-06 Gy·m²", "–",
                                                        "28 kV", "80 mAs", "450 ms", "177.8 mA"},
                                                       {"2", "CC", "Left", "2026-12-10 14:05:10", "1.02E-05 Gy·m²", "–",
                                                        "29 kV", "90 mAs", "500 ms", "180 mA"},
                                                       {"3", "MLO", "Right", "2026-12-10 14:07:02", "1.1E-05 Gy·m²",
                                                        "–", "29 kV", "100 mAs", "560 ms", "178.6 mA"},
                                                       {"4", "–", "–", "2026-12-10 14:09:01", "–", "–", "30 kV",
                                                        "63 mAs", "400 ms", "157.5 mA"}}
                                 << QStringList{"Exposures: 4",
                                                "Total dose-area product: 3.08E-05 Gy·m² (3 of 4 exposures)",
                                                "Total mAs: 333 mAs",
                                                "Average glandular dose: not measured by the unit"}
                                 << QStringList{"Patient: DOE, Jane (born 1960-12-31)", "Patient ID: P1",
                                                "Study: 2026-12-10 14:00:00", "X-ray unit: HFE 501",
                                                "Report: " + StudyUid + ".900.1, replaces " + StudyUid + ".900.0"};
        QTest::newRow("Giotto")
            << "Giotto"
            << QList<QStringList>{{"1", "MLO", "Left", "2026-12-10 09:15:00", "–", "4.12 mGy", "–", "–", "–", "–"},
                                  {"2", "CC", "Left", "2026-12-10 09:17:30", "–", "3.9 mGy", "–", "–", "–", "–"}}
            << QStringList{"Exposures: 2", "Total entrance dose: 8.02 mGy", "Total mAs: –",
                           "Average glandular dose: not measured by the unit"}
            << QStringList{"Patient: ROE, Ann Marie", "Patient ID: P1", "Study: 2026-12-10 14:00:00",
                           "X-ray unit: Giotto", "Report: " + StudyUid + ".900.1"};
    }
    void showsWhatTheKeptReportSays()
    {
        QFETCH(QString, unit);
        QFETCH(QList<QStringList>, rows);
        QFETCH(QStringList, accumulated);
        QFETCH(QStringList, header);
        TestStation ts;
        DoseReportFacts made =
            unit == "Giotto" ? DoseReportSamples::giotto(StudyUid) : DoseReportSamples::hfe501(StudyUid);
        if (unit == "HFE 501")
            made.predecessorUid = StudyUid + ".900.0";
        // What the window shows is what the file says, not what was meant to go in.
        const DoseReportFacts facts = DoseReports::read(DoseReportSamples::keep(*ts, made));

        DoseReportForm form(facts);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.objectName(), QString("DoseReportForm"));
        QCOMPARE(form.windowTitle(), QString("Dose report"));
        auto *table = form.findChild<QTableWidget *>("tblEvents");
        QVERIFY(table);
        QCOMPARE(headerTexts(table), (QStringList{"No.", "View", "Laterality", "Started", "Dose-area product",
                                                  "Entrance dose", "kV", "mAs", "Exposure time", "Tube current"}));
        QCOMPARE(table->rowCount(), rows.size());
        for (int r = 0; r < rows.size(); ++r)
            QCOMPARE(rowTexts(table, r), rows[r]);
        // The widest cell is readable as it stands.
        for (int c = 0; c < table->columnCount() - 1; ++c)
            for (int r = 0; r < table->rowCount(); ++r)
                QVERIFY2(table->columnWidth(c) >= table->fontMetrics().horizontalAdvance(table->item(r, c)->text()),
                         qPrintable(table->item(r, c)->text()));
        QCOMPARE(form.findChild<QLabel *>("lblAccumulated")->text(), accumulated.join('\n'));
        QCOMPARE(form.findChild<QLabel *>("lblHeader")->text(), header.join('\n'));

        auto *close = form.findChild<QPushButton *>("cmdClose");
        QCOMPARE(close->text(), QString("Close"));
        close->click();
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Accepted));
    }

    void textsOfOddValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        auto v = [](double x, const char *unit) { return DoseReportForm::valueText(x, QString::fromUtf8(unit)); };
        QTest::newRow("long exposure keeps its digits") << v(12345.6, "ms") << "12346 ms";
        QTest::newRow("zero") << v(0, "mGy") << "0 mGy";
        QTest::newRow("sum with rounding noise") << v(0.1 + 0.2, "mGy") << "0.3 mGy";
        QTest::newRow("no value") << DoseReportForm::valueText(std::nullopt, "kV") << "–";
        QTest::newRow("date time with fraction and offset")
            << DoseReportForm::dateTimeText("20261210140322.125+0100") << "2026-12-10 14:03:22";
        QTest::newRow("date only") << DoseReportForm::dateTimeText("20261210") << "2026-12-10";
        QTest::newRow("no date") << DoseReportForm::dateTimeText("") << "–";
        QTest::newRow("name with middle name and suffix")
            << DoseReportForm::personName("Doe^Jane^Mary^^PhD") << "Doe, Jane Mary";
        QTest::newRow("given name only") << DoseReportForm::personName("^Jane") << "Jane";
        QTest::newRow("no name") << DoseReportForm::personName("") << "–";
    }
    void textsOfOddValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }
};

QTEST_MAIN(TestDoseReportForm)
#include "test_dosereportform.moc"
