// What the live examination view reads from the store and the dose records: the
// examination's study, its images in arrival order, and the dose line of each exposure.
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "core/Settings.h"
#include "dose/LiveDoses.h"

#include <QtTest>

class TestLiveDoses : public QObject {
    Q_OBJECT
private slots:
    void captionOfEachUnit_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QStringList>("values"); // mGy1, mGy2, mGy3, KVP, ma
        QTest::addColumn<QString>("caption");
        QTest::newRow("HFE 501: kV, mAs, dose-area product")
            << int(XrayUnit::Hfe501) << QStringList{"12.50", "28", "63", "", ""} << "28 kV · 63 mAs · 12.50 cGy·cm²";
        QTest::newRow("HFE 501 without kV")
            << int(XrayUnit::Hfe501) << QStringList{"12.50", "", "63", "", ""} << "63 mAs · 12.50 cGy·cm²";
        QTest::newRow("channel unit: entrance dose")
            << int(XrayUnit::Giotto) << QStringList{"1.23", "0.4", "7", "", ""} << "1.23 mGy";
        QTest::newRow("channel unit with technique")
            << int(XrayUnit::Sophie) << QStringList{" 1.23 ", "", "", "29", "71"} << "29 kV · 71 mAs · 1.23 mGy";
        QTest::newRow("nothing measured") << int(XrayUnit::LoradM4) << QStringList{"", "", "", "", ""} << "";
    }
    void captionOfEachUnit()
    {
        QFETCH(int, unit);
        QFETCH(QStringList, values);
        QFETCH(QString, caption);
        QCOMPARE(LiveDoses::caption(qint16(unit), values[0], values[1], values[2], values[3], values[4]), caption);
    }

    // Only the open records of the worklist patient, by exposure number; the later record
    // where a number was stored twice; the configured unit for records without one.
    void captionsOfTheOpenRecords()
    {
        TestStation ts;
        Database db = Database::openData(ts->paths());
        const auto add = [&](int no, const QString &status, const QString &patient, const QVariant &unit,
                             const QString &dose) {
            db.exec(QStringLiteral("INSERT INTO tblDosis (ImgNo, Status, WorklistPatID, XrayComm, mGy1, mGy2, mGy3)"
                                   " VALUES (?, ?, ?, ?, ?, '28', '50')"),
                    {no, status, patient, unit, dose});
        };
        add(1, "0", "4711", 5, "1.00");
        add(2, "0", "4711", QVariant(), "2.00");
        add(2, "0", "4711", 5, "2.50");
        add(3, "1", "4711", 5, "3.00"); // closed: another examination's
        add(4, "0", "0815", 5, "4.00"); // another patient's
        const QHash<int, QString> c = LiveDoses::captions(db, QStringLiteral("4711"), XrayUnit::Giotto);
        QCOMPARE(c.size(), 2);
        QCOMPARE(c.value(1), QStringLiteral("28 kV · 50 mAs · 1.00 cGy·cm²"));
        QCOMPARE(c.value(2), QStringLiteral("28 kV · 50 mAs · 2.50 cGy·cm²"));
        QVERIFY(LiveDoses::captions(db, QString(), XrayUnit::Hfe501).isEmpty());
    }

    void examinationStudy()
    {
        TestStation ts;
        StoreFixture fx(*ts);
        const qint64 smith = fx.addPatient(QStringLiteral("4711"), QStringLiteral("Smith"));
        const qint64 other = fx.addPatient(QStringLiteral("0815"), QStringLiteral("Other"));
        const QString last = fx.newUid(), scheduled = fx.newUid(), othersStudy = fx.newUid();
        fx.addStudy(smith, last, QStringLiteral("2025-11-20"));
        fx.addStudy(other, othersStudy, QStringLiteral("2026-12-10"));
        Database db = Database::openData(ts->paths());
        // Nothing of today stored: no study, whatever else the patient has.
        QCOMPARE(LiveDoses::examinationStudy(db, "4711", scheduled, "20261210"), QString());
        // Another patient's study with the scheduled UID is never hers.
        QCOMPARE(LiveDoses::examinationStudy(db, "4711", othersStudy, "20261210"), QString());
        // The modality made a study of its own today: the newest of hers.
        const QString own = fx.newUid();
        fx.addStudy(smith, own, QStringLiteral("2026-12-10"));
        QCOMPARE(LiveDoses::examinationStudy(db, "4711", scheduled, "20261210"), own);
        // The modality kept the worklist's UID: that study, even when not the newest.
        fx.addStudy(smith, scheduled, QStringLiteral("2026-12-10"));
        fx.addStudy(smith, fx.newUid(), QStringLiteral("2026-12-10"));
        QCOMPARE(LiveDoses::examinationStudy(db, "4711", scheduled, "20261210"), scheduled);
        QCOMPARE(LiveDoses::examinationStudy(db, "", scheduled, "20261210"), QString());
    }

    void imagesInTheOrderTheyCame()
    {
        TestStation ts;
        StoreFixture fx(*ts);
        const QString study = fx.newUid();
        const qint64 st = fx.addStudy(fx.addPatient(QStringLiteral("4711"), QStringLiteral("Smith")), study);
        // The second series' image came first; numbers do not decide.
        const qint64 s2 = fx.addSeries(st, fx.newUid(), 2), s1 = fx.addSeries(st, fx.newUid(), 1);
        const QString a = fx.newUid(), b = fx.newUid(), c = fx.newUid();
        fx.addImage(s2, a, 3);
        fx.addImage(s1, b, 1);
        fx.addImage(s2, c, 2);
        Database db = Database::openData(ts->paths());
        QCOMPARE(LiveDoses::imagesByArrival(db, study), (QStringList{a, b, c}));
    }
};

QTEST_MAIN(TestLiveDoses)
#include "test_livedoses.moc"
