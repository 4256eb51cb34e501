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
        // Drag with 20 per page: value x 10 - 9 from 2 on, the value itself below.
        QCOMPARE(ViewerPaging::firstFromScrollDrag(1, 20), 1);
        QCOMPARE(ViewerPaging::firstFromScrollDrag(0, 20), 1); // never image 0
        QCOMPARE(ViewerPaging::firstFromScrollDrag(2, 20), 11);
        QCOMPARE(ViewerPaging::firstFromScrollDrag(3, 20), 21);
        // And back from a first image to the scroll value that shows its row.
        QCOMPARE(ViewerPaging::scrollValueForFirst(1, 3, 5), 0);
        QCOMPARE(ViewerPaging::scrollValueForFirst(7, 3, 5), 2);
        QCOMPARE(ViewerPaging::scrollValueForFirst(20, 3, 1), 1);
    }
};

QTEST_GUILESS_MAIN(TestViewerPaging)
#include "test_viewerpaging.moc"
