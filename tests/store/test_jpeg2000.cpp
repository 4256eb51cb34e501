// JPEG 2000 from the wire to the screen: pydicom's real files received by the station's
// own companions from dcmsend, filed as they came, and rendered like their uncompressed
// twins; an offer the receiver cannot take is logged with its sender.
#include "../companions/CompanionTestKit.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Companions.h"
#include "dicom/J2kCodec.h"
#include "dicom/Render.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString J2kTwin = QStringLiteral("MR_small_jp2klossless.dcm");
const QString PlainTwin = QStringLiteral("MR_small.dcm");

QString dump(const QString &path)
{
    QString out;
    kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("-M"), path}, &out);
    return out;
}

} // namespace

class TestJpeg2000 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("pydicom's test files are not installed");
    }

    void losslessRendersLikeItsUncompressedTwin_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("full size") << QSize();
        QTest::newRow("cell size") << QSize(40, 40);
    }
    void losslessRendersLikeItsUncompressedTwin()
    {
        QFETCH(QSize, size);
        const dicom::ViewImage j2k = dicom::renderForViewer(kit::testFile(J2kTwin), size);
        const dicom::ViewImage plain = dicom::renderForViewer(kit::testFile(PlainTwin), size);
        QVERIFY(!j2k.image.isNull());
        QCOMPARE(j2k.fullSize, QSize(64, 64));
        QCOMPARE(j2k.image.size(), plain.image.size());
        QCOMPARE(j2k.image, plain.image);
        QCOMPARE(j2k.windowCentre, plain.windowCentre);
        QCOMPARE(j2k.windowWidth, plain.windowWidth);
    }

    void lossyRenders()
    {
        // NM, lossy JPEG 2000, 256 x 1024.
        const dicom::ViewImage v = dicom::renderForViewer(kit::testFile(QStringLiteral("JPEG2000.dcm")), QSize());
        QCOMPARE(v.fullSize, QSize(256, 1024));
        QVERIFY(!v.image.isNull());
        // Not a flat picture: the decoder delivered real values.
        int lo = 255, hi = 0;
        for (int y = 0; y < v.image.height(); y += 7)
            for (int x = 0; x < v.image.width(); x += 3) {
                lo = qMin(lo, qGray(v.image.pixel(x, y)));
                hi = qMax(hi, qGray(v.image.pixel(x, y)));
            }
        QVERIFY2(hi - lo > 100, qPrintable(QStringLiteral("%1..%2").arg(lo).arg(hi)));
    }

    void damagedCodeStreamIsAnErrorNotACrash()
    {
        QTemporaryDir dir;
        const QString bad = dir.filePath(QStringLiteral("bad.dcm"));
        QByteArray bytes = kit::bytes(kit::testFile(J2kTwin));
        // Cut the code stream short in the middle of its tiles.
        bytes.truncate(bytes.size() - bytes.size() / 3);
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::renderForViewer(bad, QSize(64, 64)));
    }

    void losslessCopyOfAMammogramRoundTrips()
    {
        TestStation ts;
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("mg.dcm"));
        const QString j2k = dir.filePath(QStringLiteral("mg-j2k.dcm"));
        StoreFixture::Mammogram m;
        m.size = QSize(333, 411); // odd sizes: padding of the fragment
        m.studyUid = QStringLiteral("1.2.3.4");
        m.seriesUid = QStringLiteral("1.2.3.4.1");
        m.sopUid = QStringLiteral("1.2.3.4.1.1");
        StoreFixture::writeMammogram(plain, m);
        dicom::writeJ2kLosslessCopy(plain, j2k);
        const QString meta = dump(j2k);
        QVERIFY2(meta.contains(QStringLiteral("Used TransferSyntax: JPEG 2000 (Lossless only)")),
                 qPrintable(meta.left(2000)));
        QVERIFY(QFileInfo(j2k).size() < QFileInfo(plain).size());
        const dicom::ViewImage a = dicom::renderForViewer(plain, QSize());
        const dicom::ViewImage b = dicom::renderForViewer(j2k, QSize());
        QCOMPARE(b.image, a.image);
        QCOMPARE(b.laterality, QStringLiteral("R"));
        QCOMPARE(b.view, QStringLiteral("CC"));
    }

    void receivedFiledAndRenderedAsItCame()
    {
        kit::LiveStation live(freeTcpPort());
        auto receiver = live.startChild(Companions::receiverName());
        auto dataManager = live.startChild(Companions::dataManagerName());
        QVERIFY(live.waitForReceiver());
        Station &s = *live;

        QString out;
        QCOMPARE(live.send({kit::testFile(J2kTwin)}, &out), 0);
        QVERIFY2(waitUntil([&] { return kit::count(s, QStringLiteral("SELECT COUNT(*) FROM tblImages")) == 1; }, 20000),
                 qPrintable(out));
        const QString study = QStringLiteral("1.3.6.1.4.1.5962.1.2.4.20040826185059.5457");
        const QString sop = QStringLiteral("1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457");
        const QString filed = s.paths().imageFile(study, sop);
        QVERIFY(QFileInfo::exists(filed));
        // Stored as received: still JPEG 2000 lossless.
        QVERIFY(dump(filed).contains(QStringLiteral("Used TransferSyntax: JPEG 2000 (Lossless only)")));
        const dicom::ViewImage shown = dicom::renderForViewer(filed, QSize(64, 64));
        QCOMPARE(shown.image, dicom::renderForViewer(kit::testFile(PlainTwin), QSize(64, 64)).image);

        // An offer of MPEG-2 only is refused; the log names it and the sender.
        kit::runTool(QStringLiteral("storescu"),
                     {QStringLiteral("-aet"), QStringLiteral("MPEGSENDER"), QStringLiteral("-aec"), live.aeTitle,
                      QStringLiteral("-xm"), QStringLiteral("127.0.0.1"), QString::number(live.port),
                      kit::testFile(PlainTwin)});
        const QString log = s.paths().logsDir() + QStringLiteral("/Error.log");
        QVERIFY(waitUntil([&] { return kit::readAll(log).contains(QStringLiteral("MPEGSENDER")); }, 10000));
        const QString text = kit::readAll(log);
        QVERIFY2(text.contains(QStringLiteral("Refused transfer syntax")) && text.contains(QStringLiteral("MPEG2")),
                 qPrintable(text));
        kit::terminateChild(*receiver);
        kit::terminateChild(*dataManager);
        receiver.reset();
        dataManager.reset();
    }
};

QTEST_GUILESS_MAIN(TestJpeg2000)
#include "test_jpeg2000.moc"
