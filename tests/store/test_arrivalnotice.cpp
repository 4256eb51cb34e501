// The data manager's notice to the station: a local socket named after the station folder.
#include "TestStation.h"
#include "Wait.h"
#include "core/StationPaths.h"
#include "store/ArrivalNotice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

class TestArrivalNotice : public QObject {
    Q_OBJECT
private slots:
    void noticeReachesTheStationOfItsFolderOnly()
    {
        TestStation a, b;
        QVERIFY(ArrivalNotice::serverName(a->paths()) != ArrivalNotice::serverName(b->paths()));
        ArrivalListener listener(a->paths());
        QVERIFY2(listener.isListening(), qPrintable(listener.errorString()));
        QSignalSpy heard(&listener, &ArrivalListener::batchCommitted);
        // Sent from another thread, as the data manager's own process would: the station's
        // event loop is free to answer.
        bool sentA = false, sentB = true;
        std::thread sender([&] {
            sentA = ArrivalNotice::send(a->paths());
            sentB = ArrivalNotice::send(b->paths());
        });
        QVERIFY(waitUntil([&] { return heard.size() == 1; }, 5000));
        sender.join();
        QVERIFY(sentA);
        QVERIFY(!sentB); // no station listens for b
        QTest::qWait(100);
        QCOMPARE(heard.size(), 1);
    }

    void nothingListensAndTheSenderDoesNotWait()
    {
        TestStation ts;
        QElapsedTimer t;
        t.start();
        QVERIFY(!ArrivalNotice::send(ts->paths(), 200));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    }

    // A socket left by a station that was killed is taken over; one that answers is not.
    void aLeftSocketIsTakenOverARunningStationsIsNot()
    {
        TestStation ts;
        const QString name = ArrivalNotice::serverName(ts->paths());
        {
            ArrivalListener first(ts->paths());
            QVERIFY(first.isListening());
            QVERIFY(QFileInfo::exists(QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name));
            ArrivalListener second(ts->paths());
            QVERIFY(!second.isListening());
            QVERIFY(second.errorString().contains(QStringLiteral("another station")));
            QVERIFY(first.isListening());
        }
        // A socket file with nobody behind it, as a kill leaves it.
        const QString path = QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
        QVERIFY(!QFileInfo::exists(path));
        {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(fd >= 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            const QByteArray p = QFile::encodeName(path);
            std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
            ::close(fd); // the file stays
        }
        QVERIFY(QFileInfo::exists(path));
        ArrivalListener again(ts->paths());
        QVERIFY2(again.isListening(), qPrintable(again.errorString()));
        QSignalSpy heard(&again, &ArrivalListener::batchCommitted);
        std::thread sender([&] { ArrivalNotice::send(ts->paths()); });
        QVERIFY(waitUntil([&] { return heard.size() == 1; }, 5000));
        sender.join();
    }

    // A peer that never ends its line cannot make the station read without end.
    void aPeerWithoutLineEndsIsCutOff()
    {
        TestStation ts;
        ArrivalListener listener(ts->paths());
        QSignalSpy heard(&listener, &ArrivalListener::batchCommitted);
        QLocalSocket s;
        s.connectToServer(ArrivalNotice::serverName(ts->paths()));
        QVERIFY(s.waitForConnected(2000));
        s.write(QByteArray(8192, 'x'));
        s.flush();
        QVERIFY(waitUntil([&] { return s.state() == QLocalSocket::UnconnectedState; }, 5000));
        QCOMPARE(heard.size(), 0);
    }
};

QTEST_MAIN(TestArrivalNotice)
#include "test_arrivalnotice.moc"
