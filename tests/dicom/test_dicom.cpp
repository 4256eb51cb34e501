// The DICOM layer against real-world files: reading every transfer syntax the station
// meets, rendering for the viewer, attribute access and writing files back.
#include "Requires.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "core/StationPaths.h"
#include "dicom/Image.h"
#include "dicom/Render.h"
#include "dicom/Uid.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

using namespace dicom;

namespace {

QString realFile(const QString &name)
{
    const QString dir = pydicomTestFiles();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + name;
}

struct GreyRange {
    int min = 255;
    int max = 0;
};

GreyRange greyRange(const QImage &img)
{
    GreyRange r;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const int g = qGray(img.pixel(x, y));
            r.min = std::min(r.min, g);
            r.max = std::max(r.max, g);
        }
    }
    return r;
}

int colouredPixels(const QImage &img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (std::abs(qRed(p) - qGreen(p)) > 16 || std::abs(qGreen(p) - qBlue(p)) > 16)
                ++n;
        }
    }
    return n;
}

// The error text a caller logs: names the file and says what went wrong.
void expectReadError(const std::function<void()> &f, const QString &path, const QString &part)
{
    try {
        f();
        QFAIL(qPrintable(QStringLiteral("no error for %1").arg(path)));
    } catch (const AppError &e) {
        QCOMPARE(e.number(), ErrorNo::Dicom);
        QVERIFY2(e.description().contains(path), qPrintable(e.description()));
        QVERIFY2(e.description().contains(part, Qt::CaseInsensitive), qPrintable(e.description()));
    }
}
} // namespace

class TestDicom : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("pydicom's test files are not installed");
    }

    void readsAndRendersRealFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("transferSyntax");
        QTest::addColumn<QString>("sopInstanceUid");
        QTest::addColumn<QSize>("fullSize");
        QTest::addColumn<bool>("colour");
        const QString mr = QStringLiteral("1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457");
        const QString rgb = QStringLiteral("1.2.826.0.1.3680043.8.498.49043964482360854182530167603505525116");
        QTest::newRow("explicit little endian") << "MR_small.dcm"
                                                << "1.2.840.10008.1.2.1" << mr << QSize(64, 64) << false;
        QTest::newRow("implicit little endian") << "MR_small_implicit.dcm"
                                                << "1.2.840.10008.1.2" << mr << QSize(64, 64) << false;
        QTest::newRow("explicit big endian") << "MR_small_bigendian.dcm"
                                             << "1.2.840.10008.1.2.2" << mr << QSize(64, 64) << false;
        QTest::newRow("big endian colour")
            << "ExplVR_BigEnd.dcm"
            << "1.2.840.10008.1.2.2"
            << "1.2.840.1136190195280574824680000700.3.0.1.19970424140438" << QSize(80, 60) << true;
        QTest::newRow("JPEG baseline YBR")
            << "SC_rgb_jpeg_dcmtk.dcm"
            << "1.2.840.10008.1.2.4.50"
            << "1.2.276.0.7230010.3.1.4.8323329.15150.1506363677.126194" << QSize(100, 100) << true;
        QTest::newRow("JPEG baseline RGB")
            << "SC_rgb_jpeg_lossy_gdcm.dcm"
            << "1.2.840.10008.1.2.4.50"
            << "1.2.826.0.1.3680043.2.1143.6844246171068686447348170864099716226" << QSize(100, 100) << true;
        QTest::newRow("JPEG extended 12 bit")
            << "JPGExtended.dcm"
            << "1.2.840.10008.1.2.4.51"
            << "1.3.6.1.4.1.5962.1.1.8.1.5.20040826185059.5457" << QSize(256, 1024) << false;
        QTest::newRow("JPEG lossless") << "SC_rgb_jpeg_gdcm.dcm"
                                       << "1.2.840.10008.1.2.4.70" << rgb << QSize(100, 100) << true;
        QTest::newRow("JPEG-LS lossless") << "MR_small_jpeg_ls_lossless.dcm"
                                          << "1.2.840.10008.1.2.4.80" << mr << QSize(64, 64) << false;
        QTest::newRow("RLE monochrome") << "MR_small_RLE.dcm"
                                        << "1.2.840.10008.1.2.5" << mr << QSize(64, 64) << false;
        QTest::newRow("RLE colour") << "SC_rgb_rle.dcm"
                                    << "1.2.840.10008.1.2.5" << rgb << QSize(100, 100) << true;
        QTest::newRow("RLE two frames") << "SC_rgb_rle_2frame.dcm"
                                        << "1.2.840.10008.1.2.5" << rgb << QSize(100, 100) << true;
        QTest::newRow("CT signed pixels")
            << "CT_small.dcm"
            << "1.2.840.10008.1.2.1"
            << "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322" << QSize(128, 128) << false;
        QTest::newRow("YBR 4:2:2 uncompressed")
            << "SC_ybr_full_422_uncompressed.dcm"
            << "1.2.840.10008.1.2.1"
            << "1.2.276.0.7230010.3.1.4.8323329.5846.1512159596.457896" << QSize(100, 100) << true;
    }

    void readsAndRendersRealFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, transferSyntax);
        QFETCH(QString, sopInstanceUid);
        QFETCH(QSize, fullSize);
        QFETCH(bool, colour);
        const QString path = realFile(file);

        auto img = Image::readFile(path);
        QCOMPARE(img->sopInstanceUid(), sopInstanceUid);
        QCOMPARE(img->transferSyntaxUid(), transferSyntax);
        QCOMPARE(img->value(0x0028, 0x0011), QString::number(fullSize.width()));
        QCOMPARE(img->value(0x0028, 0x0010), QString::number(fullSize.height()));

        const QSize box(120, 100);
        const ViewImage v = renderForViewer(path, box);
        QCOMPARE(v.sopInstanceUid, sopInstanceUid);
        QCOMPARE(v.fullSize, fullSize);
        QVERIFY(!v.image.isNull());
        QVERIFY2(v.image.width() <= box.width() && v.image.height() <= box.height(),
                 qPrintable(QStringLiteral("%1x%2").arg(v.image.width()).arg(v.image.height())));
        // Fills the box along one side, keeps the aspect.
        QVERIFY(v.image.width() == box.width() || v.image.height() == box.height());
        const double aspect = double(fullSize.width()) / fullSize.height();
        QVERIFY2(std::abs(double(v.image.width()) / v.image.height() - aspect) < 0.1 * aspect,
                 qPrintable(QStringLiteral("%1x%2").arg(v.image.width()).arg(v.image.height())));
        const GreyRange r = greyRange(v.image);
        QVERIFY2(r.max - r.min > 60, qPrintable(QStringLiteral("grey %1..%2").arg(r.min).arg(r.max)));
        if (colour)
            QVERIFY2(colouredPixels(v.image) > v.image.width() * v.image.height() / 20,
                     "a colour image must stay colour");
        else
            QCOMPARE(colouredPixels(v.image), 0);
    }

    // The same colour picture in every encoding renders alike: YBR is converted, planar
    // and 16-bit samples are understood, lossy JPEG stays close.
    void colourEncodingsRenderAlike_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("JPEG lossless") << "SC_rgb_jpeg_gdcm.dcm" << 0.5;
        QTest::newRow("RLE 16 bit") << "SC_rgb_rle_16bit.dcm" << 1.0;
        QTest::newRow("JPEG baseline RGB") << "SC_rgb_dcmtk_+eb+cr.dcm" << 8.0;
        QTest::newRow("JPEG baseline YBR") << "SC_rgb_dcmtk_+eb+cy+n1.dcm" << 8.0;
        QTest::newRow("JPEG baseline YBR 4:2:2") << "SC_rgb_dcmtk_+eb+cy+np.dcm" << 8.0;
        QTest::newRow("YBR 4:2:2 uncompressed") << "SC_ybr_full_422_uncompressed.dcm" << 8.0;
    }

    void colourEncodingsRenderAlike()
    {
        QFETCH(QString, file);
        QFETCH(double, tolerance);
        const QImage ref = renderForViewer(realFile(QStringLiteral("SC_rgb_rle.dcm")), QSize(100, 100)).image;
        const QImage img = renderForViewer(realFile(file), QSize(100, 100)).image;
        QCOMPARE(img.size(), ref.size());
        double diff = 0;
        for (int y = 0; y < ref.height(); ++y) {
            for (int x = 0; x < ref.width(); ++x) {
                const QRgb a = ref.pixel(x, y), b = img.pixel(x, y);
                diff += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
            }
        }
        diff /= 3.0 * ref.width() * ref.height();
        QVERIFY2(diff <= tolerance, qPrintable(QStringLiteral("mean difference %1").arg(diff)));
    }

    void readsFilesWithoutMetaInformation_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("little endian") << "ExplVR_LitEndNoMeta.dcm";
        QTest::newRow("big endian") << "ExplVR_BigEndNoMeta.dcm";
    }

    void readsFilesWithoutMetaInformation()
    {
        QFETCH(QString, file);
        auto img = Image::readFile(realFile(file));
        QCOMPARE(img->sopInstanceUid(), QStringLiteral("1.2.333.4444.5.6.7.8"));
        QVERIFY(!img->exists(0x0002, 0x0010));

        // Written back it becomes a file with meta information that names the object.
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("copy.dcm"));
        img->writeFile(out);
        auto back = Image::readFile(out);
        QCOMPARE(back->value(0x0002, 0x0003), QStringLiteral("1.2.333.4444.5.6.7.8"));
        QVERIFY(back->value(0x0002, 0x0010).has_value());
    }

    void unreadableFilesGiveClearErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << "missing"
                                 << "does not exist";
        QTest::newRow("empty") << "empty"
                               << "empty";
        QTest::newRow("folder") << "folder"
                                << "folder";
        QTest::newRow("random bytes") << "garbage"
                                      << "Cannot read DICOM file";
        QTest::newRow("text file") << "text"
                                   << "Cannot read DICOM file";
        QTest::newRow("truncated image") << "MR_truncated.dcm"
                                         << "damaged or incomplete";
        QTest::newRow("truncated plan") << "rtplan_truncated.dcm"
                                        << "Cannot read DICOM file";
        QTest::newRow("cut in half") << "half"
                                     << "Cannot read DICOM file";
    }

    void unreadableFilesGiveClearErrors()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QString path;
        if (kind.endsWith(QLatin1String(".dcm"))) {
            path = realFile(kind);
        } else {
            path = dir.filePath(kind + QStringLiteral(".dcm"));
            QFile f(path);
            if (kind == QLatin1String("folder")) {
                QVERIFY(QDir().mkpath(path));
            } else if (kind != QLatin1String("missing")) {
                QVERIFY(f.open(QIODevice::WriteOnly));
                if (kind == QLatin1String("garbage")) {
                    QByteArray bytes(4096, '\0');
                    quint32 seed = 12345;
                    for (char &c : bytes) {
                        seed = seed * 1103515245u + 12345u;
                        c = char(seed >> 16);
                    }
                    f.write(bytes);
                } else if (kind == QLatin1String("text")) {
                    f.write(
                        "Patient list exported on 2024-05-01\nDOE^JANE;1960-01-01\nThis is not a DICOM file at all.\n");
                } else if (kind == QLatin1String("half")) {
                    QFile src(realFile(QStringLiteral("CT_small.dcm")));
                    QVERIFY(src.open(QIODevice::ReadOnly));
                    f.write(src.read(src.size() / 2));
                }
                f.close();
            }
        }
        expectReadError([&] { Image::readFile(path); }, path, expected);
        expectReadError([&] { renderForViewer(path, QSize(64, 64)); }, path, expected);
    }

    void jpeg2000IsDecoded()
    {
        // Once refused as undecodable; OpenJPEG decodes it now.
        const QString path = realFile(QStringLiteral("JPEG2000.dcm"));
        auto img = Image::readFile(path);
        QCOMPARE(img->value(0x0028, 0x0010), QStringLiteral("1024"));
        const ViewImage v = renderForViewer(path, QSize(64, 64));
        QCOMPARE(v.fullSize, QSize(256, 1024));
        QVERIFY(!v.image.isNull());
    }

    // Every real-world file either reads or is refused with an AppError.
    void everyRealFileReadsOrIsRefused()
    {
        const QDir dir(pydicomTestFiles());
        int read = 0;
        for (const QString &name : dir.entryList({QStringLiteral("*.dcm")}, QDir::Files)) {
            const QString path = dir.filePath(name);
            try {
                auto img = Image::readFile(path);
                img->elements();
                ++read;
                if (img->exists(0x7FE0, 0x0010))
                    renderForViewer(path, QSize(48, 48));
            } catch (const AppError &e) {
                QVERIFY2(e.description().contains(path), qPrintable(e.description()));
            }
        }
        QVERIFY(read > 50);
    }

    void objectWithoutPixelsIsNoViewerImage()
    {
        const QString path = realFile(QStringLiteral("rtplan.dcm"));
        auto img = Image::readFile(path);
        QCOMPARE(img->sopInstanceUid(), QStringLiteral("1.2.777.777.77.7.7777.7777.20030903150023"));
        expectReadError([&] { renderForViewer(path, QSize(64, 64)); }, path, QStringLiteral("holds no image"));
    }

    void absurdImageSizeIsRefused()
    {
        QTemporaryDir dir;
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        img->setInt(0x0028, 0x0010, 65535);
        img->setInt(0x0028, 0x0011, 65535);
        const QString path = dir.filePath(QStringLiteral("huge.dcm"));
        img->writeFile(path);
        expectReadError([&] { renderForViewer(path, QSize(64, 64)); }, path, QStringLiteral("too large"));
    }

    void inversePolarityIsShownInverted_data()
    {
        QTest::addColumn<quint16>("group");
        QTest::addColumn<quint16>("element");
        QTest::addColumn<QString>("text");
        QTest::newRow("MONOCHROME1") << quint16(0x0028) << quint16(0x0004) << QStringLiteral("MONOCHROME1");
        QTest::newRow("presentation LUT shape INVERSE")
            << quint16(0x2050) << quint16(0x0020) << QStringLiteral("INVERSE");
    }

    void inversePolarityIsShownInverted()
    {
        QFETCH(quint16, group);
        QFETCH(quint16, element);
        QFETCH(QString, text);
        QTemporaryDir dir;
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        const QString normal = dir.filePath(QStringLiteral("normal.dcm"));
        const QString inverse = dir.filePath(QStringLiteral("inverse.dcm"));
        img->writeFile(normal);
        img->setText(group, element, text);
        img->writeFile(inverse);

        const QImage a = renderForViewer(normal, QSize(64, 64)).image;
        const QImage b = renderForViewer(inverse, QSize(64, 64)).image;
        QCOMPARE(a.size(), QSize(64, 64));
        QCOMPARE(b.size(), a.size());
        int off = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (std::abs(qGray(a.pixel(x, y)) + qGray(b.pixel(x, y)) - 255) > 1)
                    ++off;
        QCOMPARE(off, 0);
        const GreyRange r = greyRange(b);
        QVERIFY(r.max - r.min > 60);
    }

    void storedWindowIsUsedElseComputed()
    {
        QTemporaryDir dir;
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        QCOMPARE(img->storedWindow(), std::make_optional(std::make_pair(600.0, 1600.0)));
        const ViewImage stored = renderForViewer(realFile(QStringLiteral("MR_small.dcm")), QSize(64, 64));
        QCOMPARE(stored.windowCentre, 600.0);
        QCOMPARE(stored.windowWidth, 1600.0);

        // A narrow stored window around the middle grey turns the image almost black and white.
        img->setWindow(600, 2);
        QCOMPARE(img->storedWindow(), std::make_optional(std::make_pair(600.0, 2.0)));
        const QString narrow = dir.filePath(QStringLiteral("narrow.dcm"));
        img->writeFile(narrow);
        const QImage n = renderForViewer(narrow, QSize(64, 64)).image;
        int mid = 0;
        for (int y = 0; y < n.height(); ++y)
            for (int x = 0; x < n.width(); ++x)
                if (qGray(n.pixel(x, y)) > 5 && qGray(n.pixel(x, y)) < 250)
                    ++mid;
        QVERIFY2(mid < 64 * 64 / 10, qPrintable(QString::number(mid)));

        // Without a stored window the computed one still spreads the image over the grey scale.
        img->remove(0x0028, 0x1050);
        img->remove(0x0028, 0x1051);
        QVERIFY(!img->storedWindow());
        const QString none = dir.filePath(QStringLiteral("none.dcm"));
        img->writeFile(none);
        const ViewImage computed = renderForViewer(none, QSize(64, 64));
        const QImage c = computed.image;
        const GreyRange r = greyRange(c);
        QVERIFY(computed.windowWidth > 1);
        QVERIFY(computed.windowCentre > 0 && computed.windowCentre < 4000);
        QVERIFY2(r.min < 20 && r.max > 235, qPrintable(QStringLiteral("%1..%2").arg(r.min).arg(r.max)));
        QVERIFY(renderImage(*img, QSize(32, 32)).size() == QSize(32, 32));
    }

    void viewImageCarriesIdentity()
    {
        const ViewImage v = renderForViewer(realFile(QStringLiteral("CT_small.dcm")), QSize(300, 300));
        QCOMPARE(v.sopClassUid, QStringLiteral("1.2.840.10008.5.1.4.1.1.2"));
        QCOMPARE(v.instanceNumber, 1);
        QCOMPARE(renderForViewer(realFile(QStringLiteral("SC_rgb_rle.dcm")), QSize(10, 10)).windowWidth, 0.0); // colour
        QCOMPARE(v.image.size(), QSize(300, 300)); // small images are enlarged to fit
        const ViewImage rgb = renderForViewer(realFile(QStringLiteral("SC_rgb_rle.dcm")), QSize(50, 80));
        QCOMPARE(rgb.image.size(), QSize(50, 50));

        QTemporaryDir dir;
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        img->remove(0x0020, 0x0013);
        img->writeFile(dir.filePath(QStringLiteral("n.dcm")));
        QCOMPARE(renderForViewer(dir.filePath(QStringLiteral("n.dcm")), QSize(10, 10)).instanceNumber, 0); // absent
    }

    void attributesRoundTripThroughAFile()
    {
        QTemporaryDir dir;
        auto img = Image::create();
        img->setSopClass(QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
        img->setText(0x0008, 0x0018, QStringLiteral("1.2.3.4.5"));
        img->setText(0x0010, 0x0010, QStringLiteral("O'NEIL^Mary"));
        img->setText(0x0010, 0x0020, QStringLiteral("P-0001"));
        img->setText(0x0008, 0x0008, QStringLiteral("ORIGINAL\\PRIMARY\\\\RIGHT"));
        img->setInt(0x0020, 0x0013, 7);
        img->setInt(0x0028, 0x0010, 4096);
        img->setText(0x0040, 0x8302, QStringLiteral("3.47"));
        img->setText(0x0008, 0x103E, QStringLiteral("to be removed"));
        img->remove(0x0008, 0x103E);
        img->remove(0x0008, 0x103E); // absent: no error
        img->remove(0x0011, 0x1234);

        DataSet code;
        code.set(0x0008, 0x0100, QStringLiteral("R-10242"))
            .set(0x0008, 0x0102, QStringLiteral("SRT"))
            .set(0x0008, 0x0104, QStringLiteral("cranio-caudal"));
        DataSet modifier;
        modifier.set(0x0008, 0x0100, QStringLiteral("R-102D0")).set(0x0008, 0x0104, QStringLiteral("spot compression"));
        code.setSequence(0x0054, 0x0222, {modifier});
        DataSet second;
        second.set(0x0008, 0x0100, QStringLiteral("R-10226"));
        img->setSequence(0x0054, 0x0220, {code, second});
        img->setSequence(0x0008, 0x1140, {});

        const QString path = dir.filePath(QStringLiteral("rt.dcm"));
        img->writeFile(path);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temporary left behind
        auto back = Image::readFile(path);

        QCOMPARE(back->sopInstanceUid(), QStringLiteral("1.2.3.4.5"));
        QCOMPARE(back->value(0x0002, 0x0003), QStringLiteral("1.2.3.4.5"));
        QCOMPARE(back->value(0x0010, 0x0010), QStringLiteral("O'NEIL^Mary"));
        QCOMPARE(back->value(0x0020, 0x0013), QStringLiteral("7"));
        QCOMPARE(back->value(0x0028, 0x0010), QStringLiteral("4096"));
        QCOMPARE(back->value(0x0040, 0x8302), QStringLiteral("3.47"));
        QVERIFY(!back->exists(0x0008, 0x103E));
        QCOMPARE(back->value(0x0008, 0x103E), std::nullopt);

        // Several values: joined, by index from 1, an empty one reads as none.
        QVERIFY(back->isList(0x0008, 0x0008));
        QCOMPARE(back->valueCount(0x0008, 0x0008), 4);
        QCOMPARE(back->value(0x0008, 0x0008), QStringLiteral("ORIGINAL\\PRIMARY\\\\RIGHT"));
        QCOMPARE(back->valueAt(0x0008, 0x0008, 1), QStringLiteral("ORIGINAL"));
        QCOMPARE(back->valueAt(0x0008, 0x0008, 2), QStringLiteral("PRIMARY"));
        QCOMPARE(back->valueAt(0x0008, 0x0008, 3), std::nullopt);
        QCOMPARE(back->valueAt(0x0008, 0x0008, 4), QStringLiteral("RIGHT"));
        QCOMPARE(back->valueAt(0x0008, 0x0008, 5), std::nullopt);
        QCOMPARE(back->valueAt(0x0008, 0x0008, 0), std::nullopt);
        QVERIFY(!back->isList(0x0010, 0x0010));
        QCOMPARE(back->valueAt(0x0010, 0x0010, 1), QStringLiteral("O'NEIL^Mary"));
        QCOMPARE(back->valueAt(0x0010, 0x0010, 2), std::nullopt);

        // Sequences: items in order, nested ones too; a sequence reads as a list whose
        // values the toolkit cannot turn into text.
        QVERIFY(back->isList(0x0054, 0x0220));
        QCOMPARE(back->valueCount(0x0054, 0x0220), 2);
        QCOMPARE(back->value(0x0054, 0x0220), UnknownDataType);
        QCOMPARE(back->valueAt(0x0054, 0x0220, 2), UnknownDataType);
        QCOMPARE(back->valueAt(0x0054, 0x0220, 3), std::nullopt);
        const auto items = back->sequence(0x0054, 0x0220);
        QVERIFY(items);
        QCOMPARE(items->size(), size_t(2));
        QCOMPARE((*items)[0], code);
        QCOMPARE((*items)[1], second);
        QCOMPARE((*items)[0].sequence(0x0054, 0x0222)->front().value(0x0008, 0x0104),
                 QStringLiteral("spot compression"));
        QVERIFY(back->exists(0x0008, 0x1140));
        QCOMPARE(back->value(0x0008, 0x1140), std::nullopt); // empty sequence
        QCOMPARE(back->sequence(0x0010, 0x0010), std::nullopt);

        // Replacing keeps one element.
        back->setText(0x0010, 0x0020, QStringLiteral("P-0002"));
        QCOMPARE(back->value(0x0010, 0x0020), QStringLiteral("P-0002"));
        back->setSequence(0x0054, 0x0220, {second});
        QCOMPARE(back->valueCount(0x0054, 0x0220), 1);
    }

    void textOutsideAsciiSurvives_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("charset");
        QTest::newRow("German") << QStringLiteral("Müller^Jürgen") << QStringLiteral("ISO_IR 100");
        QTest::newRow("Polish") << QStringLiteral("Łukasiewicz^Zoë") << QStringLiteral("ISO_IR 192");
    }

    void textOutsideAsciiSurvives()
    {
        QFETCH(QString, name);
        QFETCH(QString, charset);
        QTemporaryDir dir;
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        img->setText(0x0010, 0x0010, name);
        img->setText(0x0008, 0x1030, QStringLiteral("Mammographie beidseits"));
        const QString path = dir.filePath(QStringLiteral("n.dcm"));
        img->writeFile(path);
        auto back = Image::readFile(path);
        QCOMPARE(back->value(0x0010, 0x0010), name);
        QCOMPARE(back->value(0x0008, 0x0005), charset);
        QCOMPARE(back->value(0x0008, 0x1030), QStringLiteral("Mammographie beidseits"));
    }

    void namesInTheirCharacterSets_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        QTest::newRow("German") << "chrGerm.dcm" << QStringLiteral("Äneas^Rüdiger");
        QTest::newRow("Russian") << "chrRuss.dcm" << QStringLiteral("Люкceмбypг");
        QTest::newRow("Greek") << "chrGreek.dcm" << QStringLiteral("Διονυσιος");
        QTest::newRow("Arabic") << "chrArab.dcm" << QStringLiteral("قباني^لنزار");
        QTest::newRow("UTF-8") << "chrX1.dcm" << QStringLiteral("Wang^XiaoDong=王^小東=");
    }

    void namesInTheirCharacterSets()
    {
        QFETCH(QString, file);
        QFETCH(QString, name);
        const QString path = pydicomTestFiles() + QStringLiteral("/../charset_files/") + file;
        if (!QFile::exists(path))
            CALVAREX_MISSING("pydicom's character set files are not installed");
        auto img = Image::readFile(path);
        QCOMPARE(img->value(0x0010, 0x0010).value_or(QStringLiteral("(none)")), name);

        // Changing another element keeps the name readable after writing.
        QTemporaryDir dir;
        img->setText(0x0010, 0x0020, QStringLiteral("ID-Ä1"));
        img->writeFile(dir.filePath(file));
        auto back = Image::readFile(dir.filePath(file));
        QCOMPARE(back->value(0x0010, 0x0010), name);
        QCOMPARE(back->value(0x0010, 0x0020), QStringLiteral("ID-Ä1"));
    }

    void valuesThatAreNotText()
    {
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        QCOMPARE(img->value(0x7FE0, 0x0010), UnknownDataType);
        QCOMPARE(img->valueAt(0x7FE0, 0x0010, 1), UnknownDataType);
        QVERIFY(!img->isList(0x7FE0, 0x0010));
        QCOMPARE(img->value(0x0002, 0x0001), UnknownDataType); // meta information version, OB
        // Numbers as the toolkit gives them.
        QCOMPARE(img->value(0x0028, 0x0100), QStringLiteral("16"));
        QVERIFY(img->isList(0x0020, 0x0037));
        QCOMPARE(img->valueCount(0x0020, 0x0037), 6);
        QCOMPARE(img->value(0x9999, 0x0010), std::nullopt);
        QVERIFY(!img->exists(0x9999, 0x0010));
    }

    void badValuesAreRefused()
    {
        auto img = Image::create();
        try {
            img->setText(0x0028, 0x0010, QStringLiteral("tall"));
            QFAIL("letters went into a number");
        } catch (const AppError &e) {
            QVERIFY2(e.description().contains(QLatin1String("(0028,0010)")), qPrintable(e.description()));
        }
        QVERIFY_THROWS_EXCEPTION(AppError, img->setInt(0x0028, 0x0010, 70000));
        QVERIFY_THROWS_EXCEPTION(AppError, img->setInt(0x0028, 0x0010, -1));
        QVERIFY_THROWS_EXCEPTION(AppError, img->setText(0x0054, 0x0220, QStringLiteral("x")));
        QVERIFY_THROWS_EXCEPTION(AppError, img->setWindow(100, 0));
        QVERIFY(!img->exists(0x0028, 0x0010));
        // A private element without a dictionary entry takes text.
        img->setText(0x0009, 0x1001, QStringLiteral("station note"));
        QCOMPARE(img->value(0x0009, 0x1001), QStringLiteral("station note"));
    }

    void sopClassGoesIntoDataSetAndMetaInformation()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("mg.dcm"));
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        const QString mg = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2");
        img->setSopClass(mg);
        QCOMPARE(img->sopClassUid(), mg);
        QCOMPARE(img->value(0x0002, 0x0002), mg);
        img->writeFile(path);

        // As another DICOM reader sees the saved file.
        const QString dcmdump = QStandardPaths::findExecutable(QStringLiteral("dcmdump"));
        if (dcmdump.isEmpty())
            CALVAREX_MISSING("dcmdump is not installed");
        QProcess p;
        p.start(dcmdump, {QStringLiteral("-Un"), QStringLiteral("+P"), QStringLiteral("0002,0002"),
                          QStringLiteral("+P"), QStringLiteral("0008,0016"), path});
        QVERIFY(p.waitForFinished(30000));
        const QString out = QString::fromLatin1(p.readAllStandardOutput());
        QCOMPARE(out.count(QStringLiteral("[1.2.840.10008.5.1.4.1.1.1.2]")), 2);
    }

    void writingReplacesAtomicallyAndKeepsPixels()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("img.dcm"));
        QVERIFY(QFile::copy(realFile(QStringLiteral("MR_small.dcm")), path));
        const QImage before = renderForViewer(path, QSize(64, 64)).image;

        // Read, change and write over the same file: the pixel data still left in the file
        // at read time must not be lost.
        auto img = Image::readFile(path);
        img->setText(0x0010, 0x0010, QStringLiteral("NEW^NAME"));
        img->writeFile(path);
        img->setText(0x0010, 0x0020, QStringLiteral("again"));
        img->writeFile(path);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("img.dcm")});
        auto back = Image::readFile(path);
        QCOMPARE(back->value(0x0010, 0x0010), QStringLiteral("NEW^NAME"));
        QCOMPARE(back->value(0x0010, 0x0020), QStringLiteral("again"));
        QCOMPARE(renderForViewer(path, QSize(64, 64)).image, before);

        try {
            img->writeFile(dir.filePath(QStringLiteral("no/such/folder/x.dcm")));
            QFAIL("wrote into a missing folder");
        } catch (const AppError &e) {
            QVERIFY(e.description().contains(QLatin1String("no/such/folder/x.dcm")));
        }
    }

    void compressedFilesWriteBackCompressed_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("JPEG") << "SC_rgb_jpeg_dcmtk.dcm";
        QTest::newRow("JPEG-LS") << "MR_small_jpeg_ls_lossless.dcm";
        QTest::newRow("RLE") << "MR_small_RLE.dcm";
    }

    void compressedFilesWriteBackCompressed()
    {
        QFETCH(QString, file);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        auto img = Image::readFile(realFile(file));
        const QString ts = img->transferSyntaxUid();
        const QImage before = renderImage(*img, QSize(50, 50));
        img->setText(0x0040, 0x8302, QStringLiteral("1.25"));
        img->writeFile(path);
        auto back = Image::readFile(path);
        QCOMPARE(back->transferSyntaxUid(), ts);
        QCOMPARE(back->value(0x0040, 0x8302), QStringLiteral("1.25"));
        QCOMPARE(renderForViewer(path, QSize(50, 50)).image, before);
    }

    void elementListForTheHeaderDisplay()
    {
        auto img = Image::readFile(realFile(QStringLiteral("MR_small.dcm")));
        const std::vector<ElementInfo> list = img->elements();
        QVERIFY(list.size() > 30);
        auto find = [&](const QString &tag) -> const ElementInfo * {
            for (const ElementInfo &e : list)
                if (e.tag == tag)
                    return &e;
            return nullptr;
        };
        const ElementInfo *name = find(QStringLiteral("0010,0010"));
        QVERIFY(name);
        QCOMPARE(name->vr, QStringLiteral("PN"));
        QCOMPARE(name->name, QStringLiteral("PatientName"));
        QCOMPARE(name->value, img->value(0x0010, 0x0010).value_or(QString()));
        const ElementInfo *ts = find(QStringLiteral("0002,0010"));
        QVERIFY(ts);
        QCOMPARE(ts->value, QStringLiteral("1.2.840.10008.1.2.1"));
        QCOMPARE(find(QStringLiteral("7FE0,0010"))->value, UnknownDataType);
        QVERIFY(find(QStringLiteral("0020,0037"))->isList);
        for (size_t i = 1; i < list.size(); ++i)
            QVERIFY(list[i - 1].tag < list[i].tag);
    }

    void newUidsAreValidAndUnique()
    {
        const QRegularExpression form(QStringLiteral("^(0|[1-9][0-9]*)(\\.(0|[1-9][0-9]*))+$"));
        QStringList all;
        std::mutex m;
        auto make = [&] {
            for (int i = 0; i < 500; ++i) {
                const QString uid = newUid();
                std::lock_guard<std::mutex> lock(m);
                all.append(uid);
            }
        };
        std::thread a(make), b(make);
        make();
        a.join();
        b.join();
        for (const QString &uid : all)
            QVERIFY2(uid.size() <= 64 && form.match(uid).hasMatch() && isValidUid(uid), qPrintable(uid));
        QCOMPARE(QSet<QString>(all.begin(), all.end()).size(), 1500);
    }

    // Damaged copies of real files (cut short, bytes overwritten) are refused with an
    // AppError or read as far as they make sense; they never bring the station down.
    void damagedFilesNeverCrash_data()
    {
        QTest::addColumn<QString>("file");
        for (const char *f :
             {"MR_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm", "SC_rgb_jpeg_dcmtk.dcm",
              "JPGExtended.dcm", "MR_small_jpeg_ls_lossless.dcm", "MR_small_RLE.dcm", "SC_rgb_rle.dcm",
              "SC_rgb_rle_16bit.dcm", "ExplVR_BigEnd.dcm", "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_jpeg_gdcm.dcm",
              "ExplVR_LitEndNoMeta.dcm", "rtplan.dcm"})
            QTest::newRow(f) << QString::fromLatin1(f);
    }

    void damagedFilesNeverCrash()
    {
        QFETCH(QString, file);
        QFile src(realFile(file));
        QVERIFY(src.open(QIODevice::ReadOnly));
        const QByteArray original = src.readAll();
        QTemporaryDir dir;
        quint32 seed = 99;
        auto rnd = [&seed](quint32 n) {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) % n;
        };
        int refused = 0;
        for (int round = 0; round < 60; ++round) {
            QByteArray bytes = original;
            if (round % 3 == 0) {
                bytes.truncate(qsizetype(rnd(quint32(bytes.size() - 1))) + 1);
            } else {
                const int hits = 1 + int(rnd(8));
                for (int h = 0; h < hits; ++h)
                    bytes[qsizetype(rnd(quint32(bytes.size())))] = char(rnd(256));
            }
            const QString path = dir.filePath(QStringLiteral("d%1.dcm").arg(round));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
            out.close();
            try {
                auto img = Image::readFile(path);
                img->sopInstanceUid();
                img->elements();
                renderForViewer(path, QSize(40, 40));
            } catch (const AppError &e) {
                QCOMPARE(e.number(), ErrorNo::Dicom);
                QVERIFY(e.description().contains(path));
                ++refused;
            }
        }
        QVERIFY(refused > 0);
    }

    // An RLE frame whose segment table points outside the frame (the toolkit's decoder
    // would read far beyond its data).
    void damagedRleSegmentTableIsRefused()
    {
        QFile src(realFile(QStringLiteral("SC_rgb_rle.dcm")));
        QVERIFY(src.open(QIODevice::ReadOnly));
        QByteArray bytes = src.readAll();
        const QByteArray itemTag("\xFE\xFF\x00\xE0", 4);
        const qsizetype offsetTable = bytes.indexOf(itemTag, bytes.indexOf(QByteArray("\xE0\x7F\x10\x00", 4)));
        const qsizetype frame = bytes.indexOf(itemTag, offsetTable + 4);
        QVERIFY(offsetTable > 0 && frame > offsetTable);
        const qsizetype header = frame + 8;
        QCOMPARE(quint8(bytes[header]), quint8(3)); // three segments: R, G, B
        bytes[header + 12 + 3] = char(0xDE);        // third segment 3.7 GB beyond the frame
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("rle.dcm"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();
        QCOMPARE(Image::readFile(path)->sopInstanceUid(),
                 QStringLiteral("1.2.826.0.1.3680043.8.498.49043964482360854182530167603505525116"));
        expectReadError([&] { renderForViewer(path, QSize(40, 40)); }, path, QStringLiteral("damaged"));
    }

    void rendersFromSeveralThreadsAtOnce()
    {
        const QStringList files = {QStringLiteral("MR_small.dcm"),     QStringLiteral("SC_rgb_jpeg_dcmtk.dcm"),
                                   QStringLiteral("MR_small_RLE.dcm"), QStringLiteral("MR_small_jpeg_ls_lossless.dcm"),
                                   QStringLiteral("JPGExtended.dcm"),  QStringLiteral("CT_small.dcm")};
        std::vector<QImage> expected;
        for (const QString &f : files)
            expected.push_back(renderForViewer(realFile(f), QSize(90, 90)).image);
        std::atomic<int> mismatches{0}, failures{0};
        auto work = [&](int seed) {
            for (int round = 0; round < 10; ++round) {
                for (int k = 0; k < files.size(); ++k) {
                    const int i = (k + seed + round) % files.size();
                    try {
                        if (renderForViewer(realFile(files[i]), QSize(90, 90)).image != expected[size_t(i)])
                            ++mismatches;
                    } catch (...) {
                        ++failures;
                    }
                }
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back(work, t);
        for (auto &t : threads)
            t.join();
        QCOMPARE(failures.load(), 0);
        QCOMPARE(mismatches.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDicom)
#include "test_dicom.moc"
