// The study loader's workers: order of delivery, cancelling, stopping at a failure.
#include "core/AppError.h"
#include "store/StudyLoader.h"

#include <QSignalSpy>
#include <QtTest>
#include <atomic>
#include <thread>

namespace {

QList<StudyLoader::Item> items(int n, const QString &prefix = QStringLiteral("f"))
{
    QList<StudyLoader::Item> out;
    for (int i = 1; i <= n; ++i)
        out.append({prefix + QString::number(i), {}});
    return out;
}

// A renderer that takes its time and names the picture after the path.
StudyLoader::RenderFn slowRender(std::atomic<int> &calls, int ms, const QString &failOn = {})
{
    return [&calls, ms, failOn](const QString &path, const QSize &size) {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (path == failOn)
            throw AppError(ErrorNo::Dicom, QStringLiteral("Cannot read ") + path);
        ViewerImage img;
        img.image = QImage(size / 4, QImage::Format_Grayscale8);
        img.image.fill(128);
        img.sopInstanceUid = path;
        return img;
    };
}

} // namespace

class TestStudyLoader : public QObject {
    Q_OBJECT
private slots:
    void deliversEveryImageOnceWithItsNumber()
    {
        std::atomic<int> calls{0};
        StudyLoader loader(slowRender(calls, 5));
        QSignalSpy ready(&loader, &StudyLoader::imageReady);
        QSignalSpy done(&loader, &StudyLoader::finished);
        loader.start(items(7), QSize(64, 64), 2);
        QVERIFY(loader.isRunning());
        QVERIFY(done.wait(10000));
        QCOMPARE(ready.size(), 7);
        QSet<int> numbers;
        for (const auto &args : ready) {
            const int n = args.at(0).toInt();
            numbers.insert(n);
            QCOMPARE(args.at(1).value<ViewerImage>().sopInstanceUid, QStringLiteral("f%1").arg(n));
            QCOMPARE(args.at(1).value<ViewerImage>().path, QStringLiteral("f%1").arg(n));
        }
        QCOMPARE(numbers.size(), 7);
        QCOMPARE(done.first().at(0).toInt(), 7);
        QCOMPARE(done.first().at(1).toInt(), 0);
        QVERIFY(!loader.isRunning());
    }

    void stopsHandingOutFilesAfterAFailure()
    {
        std::atomic<int> calls{0};
        StudyLoader loader(slowRender(calls, 5, QStringLiteral("f3")));
        QSignalSpy ready(&loader, &StudyLoader::imageReady);
        QSignalSpy failed(&loader, &StudyLoader::imageFailed);
        QSignalSpy done(&loader, &StudyLoader::finished);
        loader.start(items(10), QSize(64, 64), 1);
        QVERIFY(done.wait(10000));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(0).toInt(), 3);
        QCOMPARE(failed.first().at(3).toString(), QStringLiteral("Cannot read f3"));
        QCOMPARE(ready.size(), 2);
        QCOMPARE(calls.load(), 3);
        QCOMPARE(done.first().at(1).toInt(), 1);
    }

    void refusedItemsFailWithoutBeingRead()
    {
        std::atomic<int> calls{0};
        StudyLoader loader(slowRender(calls, 1));
        QSignalSpy failed(&loader, &StudyLoader::imageFailed);
        QSignalSpy done(&loader, &StudyLoader::finished);
        loader.start({{QString(), QStringLiteral("Not a valid SOP Instance UID: '../x'")}}, QSize(64, 64), 1);
        QVERIFY(done.wait(10000));
        QCOMPARE(calls.load(), 0);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(2).value<long>(), ErrorNo::BadInput);
    }

    void aNewLoadDropsTheOldOnesPictures()
    {
        std::atomic<int> calls{0};
        StudyLoader loader(slowRender(calls, 40));
        QSignalSpy ready(&loader, &StudyLoader::imageReady);
        QSignalSpy done(&loader, &StudyLoader::finished);
        loader.start(items(6, QStringLiteral("old")), QSize(64, 64), 2);
        loader.start(items(3, QStringLiteral("new")), QSize(64, 64), 2);
        QVERIFY(done.wait(10000));
        QTest::qWait(150); // whatever the old workers still finish must not arrive
        QCOMPARE(done.size(), 1);
        QCOMPARE(ready.size(), 3);
        for (const auto &args : ready)
            QVERIFY(args.at(1).value<ViewerImage>().sopInstanceUid.startsWith(QStringLiteral("new")));
    }

    void cancelDeliversNothingMore()
    {
        std::atomic<int> calls{0};
        StudyLoader loader(slowRender(calls, 30));
        QSignalSpy ready(&loader, &StudyLoader::imageReady);
        QSignalSpy done(&loader, &StudyLoader::finished);
        loader.start(items(20), QSize(64, 64), 2);
        QTRY_VERIFY(ready.size() >= 1);
        loader.cancel();
        const int at = int(ready.size());
        QTest::qWait(200);
        QCOMPARE(int(ready.size()), at);
        QCOMPARE(done.size(), 0);
        QVERIFY(!loader.isRunning());
        QVERIFY(calls.load() < 20); // the workers stopped taking files
    }
};

QTEST_GUILESS_MAIN(TestStudyLoader)
#include "test_studyloader.moc"
