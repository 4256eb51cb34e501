// The DICOM layer's media work: JPEG pictures of whole images with their own window,
// DICOMDIR writing and its file IDs, and the refusal of files that are no DICOMDIR.
#include "../companions/CompanionTestKit.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "dicom/DicomDir.h"
#include "dicom/Image.h"
#include "dicom/JpegFile.h"

#include <QImage>
#include <QtTest>

namespace {

double meanGrey(const QImage &img)
{
    const QImage g = img.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y < g.height(); ++y) {
        const uchar *row = g.constScanLine(y);
        for (int x = 0; x < g.width(); ++x)
            sum += row[x];
    }
    return sum / (double(g.width()) * g.height());
}

QImage jpegOf(const QString &dicomFile, const QString &jpeg, int quality = 90)
{
    dicom::writeJpeg(*dicom::Image::readFile(dicomFile), jpeg, quality);
    return QImage(jpeg);
}

void mammogram(const QString &path)
{
    StoreFixture::Mammogram m;
    m.size = QSize(200, 240);
    m.studyUid = "1.2.3";
    m.seriesUid = "1.2.3.1";
    m.sopUid = "1.2.3.1.1";
    StoreFixture::writeMammogram(path, m);
}
} // namespace

class TestDicomMedia : public QObject {
    Q_OBJECT

private slots:
    void jpegUsesTheImagesWindow()
    {
        QTemporaryDir dir;
        const QString m2 = dir.filePath("m2.dcm");
        mammogram(m2);
        const QImage shown = jpegOf(m2, dir.filePath("m2.jpg"));
        QCOMPARE(shown.size(), QSize(200, 240));
        QVERIFY(shown.isGrayscale());
        const double mean2 = meanGrey(shown);
        // A 14-bit image shown through its window spreads over the grey scale: neither
        // the black of the upper bits cut off nor a white sheet.
        QVERIFY2(mean2 > 20 && mean2 < 200, qPrintable(QString::number(mean2)));

        // MONOCHROME1: the same values shown inverted.
        const QString m1 = dir.filePath("m1.dcm");
        QVERIFY(QFile::copy(m2, m1));
        QVERIFY(kit::modify(m1, {"(0028,0004)=MONOCHROME1"}));
        const double mean1 = meanGrey(jpegOf(m1, dir.filePath("m1.jpg")));
        QVERIFY2(qAbs(mean1 - (255 - mean2)) < 4, qPrintable(QStringLiteral("%1 %2").arg(mean1).arg(mean2)));

        // The stored window is the one used: a window far below the values turns it white.
        const QString low = dir.filePath("low.dcm");
        QVERIFY(QFile::copy(m2, low));
        QVERIFY(kit::modify(low, {"(0028,1050)=-5000", "(0028,1051)=10"}));
        QVERIFY(meanGrey(jpegOf(low, dir.filePath("low.jpg"))) > 250);

        // Without a stored window, a stored VOI LUT or a computed one: still a picture.
        const QString none = dir.filePath("none.dcm");
        QVERIFY(QFile::copy(m2, none));
        QVERIFY(kit::eraseElement(none, "(0028,1050)"));
        QVERIFY(kit::eraseElement(none, "(0028,1051)"));
        const double meanNone = meanGrey(jpegOf(none, dir.filePath("none.jpg")));
        QVERIFY(meanNone > 20 && meanNone < 230);
    }

    void jpegQualityAndFailures()
    {
        QTemporaryDir dir;
        const QString m = dir.filePath("m.dcm");
        mammogram(m);
        const auto image = dicom::Image::readFile(m);
        dicom::writeJpeg(*image, dir.filePath("q10.jpg"), 10);
        dicom::writeJpeg(*image, dir.filePath("q100.jpg"), 100);
        QVERIFY(QFileInfo(dir.filePath("q10.jpg")).size() < QFileInfo(dir.filePath("q100.jpg")).size());
        // A folder that does not exist: an error, no file.
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::writeJpeg(*image, dir.filePath("no/such/x.jpg"), 50));
        // An object without pixels.
        auto empty = dicom::Image::create();
        empty->setText(0x0008, 0x0018, "1.2.3.4");
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::writeJpeg(*empty, dir.filePath("e.jpg"), 50));
        QVERIFY(!QFile::exists(dir.filePath("e.jpg")));
    }

    void fileIdComponents_data()
    {
        QTest::addColumn<QString>("component");
        QTest::addColumn<bool>("valid");
        QTest::newRow("ST000001") << "ST000001" << true;
        QTest::newRow("A_1") << "A_1" << true;
        QTest::newRow("nine characters") << "IM0000001" << false;
        QTest::newRow("lower case") << "im000001" << false;
        QTest::newRow("dot") << "IM1.DCM" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("Dicomdir case") << "Dicomdir" << false;
    }
    void fileIdComponents()
    {
        QFETCH(QString, component);
        QFETCH(bool, valid);
        QCOMPARE(dicom::isValidFileIdComponent(component), valid);
    }

    void dicomDirWriterRefusesBadIds()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("ST000001")));
        const auto image = dicom::Image::readFile(QDir(pydicomTestFiles()).filePath("CT_small.dcm"));
        dicom::writeForMedia(*image, dir.filePath("ST000001/IM000001"));
        QVERIFY(QFile::copy(dir.filePath("ST000001/IM000001"), dir.filePath("ST000001/im1.dcm")));
        dicom::DicomDirWriter w(dir.path());
        QVERIFY_THROWS_EXCEPTION(AppError, w.add("ST000001/im1.dcm"));
        QVERIFY_THROWS_EXCEPTION(AppError, w.add("ST000001/IM000009")); // no such file
        w.add("ST000001/IM000001");
        QCOMPARE(w.count(), 1);
        w.write();
        QString dump;
        QCOMPARE(kit::runTool("dcmdump", {dir.filePath("DICOMDIR")}, &dump), 0);
        QVERIFY(dump.contains("[ST000001\\IM000001]"));
        QCOMPARE(dump.count("(0004,1500)"), 1);
        // Only the finished directory is left.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"DICOMDIR"});
    }

    void readDicomDirRefusesOtherFiles()
    {
        QTemporaryDir dir;
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::readDicomDir(QDir(pydicomTestFiles()).filePath("CT_small.dcm")));
        QFile t(dir.filePath("DICOMDIR"));
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write("hello\n");
        t.close();
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::readDicomDir(t.fileName()));
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::readDicomDir(dir.filePath("missing")));
    }
};

QTEST_MAIN(TestDicomMedia)
#include "test_dicommedia.moc"
