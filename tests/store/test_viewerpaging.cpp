// The viewer's page arithmetic: scroll bar set-up, scroll and drag rules, the keys.
#include "store/ViewerPaging.h"

#include <QtTest>

class TestViewerPaging : public QObject {
    Q_OBJECT
private slots:
    void roundUp_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<int>("expected");
        QTest::newRow("whole") << 3.0 << 3;
        QTest::newRow("just above") << 3.0001 << 4;
        QTest::newRow("third") << 1.0 / 3.0 << 1;
        QTest::newRow("zero") << 0.0 << 0;
    }
    void roundUp()
    {
        QFETCH(double, x);
        QFETCH(int, expected);
        QCOMPARE(ViewerPaging::roundUp(x), expected);
    }

    void scrollSetup_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("perPage");
        QTest::addColumn<int>("columns");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("maximum");
        QTest::newRow("empty viewer") << 0 << 21 << 3 << false << 0;
        QTest::newRow("20 of 21") << 20 << 21 << 3 << false << 0;
        QTest::newRow("21 of 21") << 21 << 21 << 3 << true << 0;
        QTest::newRow("22 of 21") << 22 << 21 << 3 << true << 1;
        QTest::newRow("24 of 21") << 24 << 21 << 3 << true << 1;
        QTest::newRow("25 of 21") << 25 << 21 << 3 << true << 2;
        QTest::newRow("100 of 4 in 2 columns") << 100 << 4 << 2 << true << 48;
    }
    void scrollSetup()
    {
        QFETCH(int, count);
        QFETCH(int, perPage);
        QFETCH(int, columns);
        QFETCH(bool, enabled);
        QFETCH(int, maximum);
        const auto s = ViewerPaging::scrollSetup(count, perPage, columns);
        QCOMPARE(s.enabled, enabled);
        QCOMPARE(s.maximum, maximum);
    }

    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("PageUp from 5") << int(Qt::Key_PageUp) << 5 << 40 << 1;
        QTest::newRow("PageUp from 30") << int(Qt::Key_PageUp) << 30 << 40 << 9;
        QTest::newRow("PageDown from 1 of 40") << int(Qt::Key_PageDown) << 1 << 40 << 22;
        QTest::newRow("PageDown to exactly the count stays") << int(Qt::Key_PageDown) << 1 << 22 << 1;
        QTest::newRow("PageDown below the count") << int(Qt::Key_PageDown) << 1 << 23 << 22;
        QTest::newRow("Left with more than a page") << int(Qt::Key_Left) << 10 << 40 << 1;
        QTest::newRow("Left within one page") << int(Qt::Key_Left) << 3 << 21 << 3;
        QTest::newRow("Right with more than a page") << int(Qt::Key_Right) << 1 << 40 << 20;
        QTest::newRow("Right within one page") << int(Qt::Key_Right) << 1 << 21 << 1;
        QTest::newRow("Up from 2") << int(Qt::Key_Up) << 2 << 40 << 1;
        QTest::newRow("Up from 1") << int(Qt::Key_Up) << 1 << 40 << 1;
        QTest::newRow("Down while the last is hidden") << int(Qt::Key_Down) << 1 << 22 << 2;
        QTest::newRow("Down with the last shown") << int(Qt::Key_Down) << 2 << 22 << 2;
        QTest::newRow("Down within one page") << int(Qt::Key_Down) << 1 << 21 << 1;
        QTest::newRow("other key") << int(Qt::Key_A) << 7 << 40 << 7;
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(int, expected);
        QCOMPARE(ViewerPaging::firstAfterKey(key, first, count, 21), expected);
    }

    void scrollRules()
    {
        // Change: whole rows of 3.
        QCOMPARE(ViewerPaging::firstFromScrollValue(0, 3), 1);
        QCOMPARE(ViewerPaging::firstFromScrollValue(2, 3), 7);
        // Drag: the rule of the release, within the scroll bar's range (200 images in
        // 7 x 3: maximum 60). The old half-page rule showed image 591 for value 60.
        QCOMPARE(ViewerPaging::firstFromScrollDrag(0, 3, 60), 1);
        QCOMPARE(ViewerPaging::firstFromScrollDrag(2, 3, 60), 7);
        QCOMPARE(ViewerPaging::firstFromScrollDrag(60, 3, 60), 181);
        QCOMPARE(ViewerPaging::firstFromScrollDrag(75, 3, 60), 181); // never past the last page
        QCOMPARE(ViewerPaging::firstFromScrollDrag(-1, 3, 60), 1);
        // And back from a first image to the scroll value that shows its row.
        QCOMPARE(ViewerPaging::scrollValueForFirst(1, 3, 5), 0);
        QCOMPARE(ViewerPaging::scrollValueForFirst(7, 3, 5), 2);
        QCOMPARE(ViewerPaging::scrollValueForFirst(20, 3, 1), 1);
    }

    void mammogramsHangRightLeftCcOverMlo_data()
    {
        QTest::addColumn<QStringList>("given"); // laterality + " " + view per image, in load order
        QTest::addColumn<QList<int>>("cells");
        QTest::newRow("scrambled four") << QStringList{"L MLO", "R CC", "L CC", "R MLO"} << QList<int>{2, 3, 4, 1};
        QTest::newRow("MLO first, then CC") << QStringList{"R MLO", "L MLO", "L CC", "R CC"} << QList<int>{4, 3, 1, 2};
        QTest::newRow("missing right CC keeps its place")
            << QStringList{"L CC", "R MLO", "L MLO"} << QList<int>{0, 1, 2, 3};
        QTest::newRow("lower case") << QStringList{"l cc", "r cc"} << QList<int>{2, 1};
        QTest::newRow("extra view after MLO")
            << QStringList{"R ML", "R CC", "L CC", "R MLO", "L MLO"} << QList<int>{2, 3, 4, 5, 1, 0};
        QTest::newRow("no laterality at the end") << QStringList{"B CC", "R CC", " CC"} << QList<int>{2, 0, 1, 3};
    }
    void mammogramsHangRightLeftCcOverMlo()
    {
        QFETCH(QStringList, given);
        QFETCH(QList<int>, cells);
        QList<ViewerPaging::HangingInput> in;
        for (const QString &g : given) {
            const qsizetype space = g.lastIndexOf(QLatin1Char(' '));
            in.append({g.left(space), g.mid(space + 1)});
        }
        QCOMPARE(ViewerPaging::hangingCells(in), cells);
    }

    void chestWallsFaceEachOther()
    {
        using ViewerPaging::chestWallMirror;
        QVERIFY(!chestWallMirror("R", "P")); // rows run to the chest wall: right side already
        QVERIFY(chestWallMirror("R", "A"));
        QVERIFY(!chestWallMirror("L", "A"));
        QVERIFY(chestWallMirror("L", "P"));
        QVERIFY(!chestWallMirror("L", ""));
        QVERIFY(!chestWallMirror("", "P"));
        QVERIFY(ViewerPaging::isBreastImage("MG", ""));
        QVERIFY(ViewerPaging::isBreastImage("DX", "BREAST"));
        QVERIFY(!ViewerPaging::isBreastImage("CT", "CHEST"));
    }
};

QTEST_GUILESS_MAIN(TestViewerPaging)
#include "test_viewerpaging.moc"
