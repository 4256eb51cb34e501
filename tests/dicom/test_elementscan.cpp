// The walk over a file's element stream before the toolkit parses it, where the file
// hides its structure or comes in by another door: a deflated data set (inflated and
// walked, within a bound), and files read for import, for a DICOMDIR or for the viewer.
#include "../companions/CompanionTestKit.h"
#include "Requires.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "dicom/DicomDir.h"
#include "dicom/ElementScan.h"
#include "dicom/FileFacts.h"
#include "dicom/Image.h"

#include <QtEndian>
#include <QtTest>
#include <zlib.h>

namespace {

QByteArray u16(quint16 v)
{
    QByteArray b(2, '\0');
    qToLittleEndian(v, b.data());
    return b;
}
QByteArray u32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}
QByteArray tag(quint16 g, quint16 e) { return u16(g) + u16(e); }

// Explicit VR little endian element.
QByteArray element(quint16 g, quint16 e, const char *vr, const QByteArray &value)
{
    const QByteArray v = value.size() % 2 ? value + '\0' : value;
    if (QByteArray("OB SQ UN UT OW").contains(vr))
        return tag(g, e) + vr + u16(0) + u32(quint32(v.size())) + v;
    return tag(g, e) + vr + u16(quint16(v.size())) + v;
}

// Sequences of undefined length nested depth deep.
QByteArray nested(int depth)
{
    const QByteArray open =
        tag(0x0040, 0xA730) + "SQ" + u16(0) + u32(0xFFFFFFFF) + tag(0xFFFE, 0xE000) + u32(0xFFFFFFFF);
    const QByteArray close = tag(0xFFFE, 0xE00D) + u32(0) + tag(0xFFFE, 0xE0DD) + u32(0);
    return open.repeated(depth) + close.repeated(depth);
}

QByteArray uids(const char *sopClass = "1.2.840.10008.5.1.4.1.1.7")
{
    return element(0x0008, 0x0016, "UI", sopClass) + element(0x0008, 0x0018, "UI", "1.2.3.4.5.6")
           + element(0x0020, 0x000D, "UI", "1.2.3.4") + element(0x0020, 0x000E, "UI", "1.2.3.4.1");
}

QByteArray rawDeflate(const QByteArray &data)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.truncate(int(z.total_out));
    deflateEnd(&z);
    return out;
}

// A file with preamble and meta header for the transfer syntax and SOP class, and the
// data set as given (already deflated where the syntax says so).
QByteArray file(const char *ts, const QByteArray &dataSet, const char *sopClass = "1.2.840.10008.5.1.4.1.1.7")
{
    const QByteArray body = element(0x0002, 0x0001, "OB", QByteArray::fromHex("0001"))
                            + element(0x0002, 0x0002, "UI", sopClass) + element(0x0002, 0x0003, "UI", "1.2.3.4.5.6")
                            + element(0x0002, 0x0010, "UI", ts);
    return QByteArray(128, '\0') + "DICM" + element(0x0002, 0x0000, "UL", u32(quint32(body.size()))) + body + dataSet;
}

const char *const Deflated = "1.2.840.10008.1.2.1.99";

QString write(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

} // namespace

class TestElementScan : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { dicom::quietToolkitLog(); }

    void deflatedDataSets_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("refusal"); // empty: passes; else a piece of the reason
        QTest::newRow("plain, shallow") << file(Deflated, rawDeflate(uids() + nested(3))) << QString();
        // The poison pill, 875 bytes on the wire once deflated.
        QTest::newRow("nested 6000 deep")
            << file(Deflated, rawDeflate(uids() + nested(6000))) << "nested deeper than 64";
        QTest::newRow("nested 65 deep") << file(Deflated, rawDeflate(uids() + nested(65))) << "nested deeper than 64";
        // A value claiming 3 GB: the toolkit would allocate it at once (nothing of a
        // deflated stream stays on disk).
        QTest::newRow("value of 3 GB claimed") << file(
            Deflated, rawDeflate(uids() + tag(0x0009, 0x1010) + "OB" + u16(0) + u32(0xBCBCBCBC) + QByteArray(64, 'x')))
                                               << "runs past its container";
        QTest::newRow("not deflate at all")
            << file(Deflated, QByteArray::fromHex("ffffffffffffffff0102030405060708")) << "damaged";
        const QByteArray whole = rawDeflate(uids() + nested(6000));
        QTest::newRow("cut short inside the nesting")
            << file(Deflated, whole.left(whole.size() / 2)) << "nested deeper";
    }
    // A length the walk doubts stops it, but the toolkit reads on: deep nesting behind
    // such a length must still be refused before the parser sees it.
    void damagedLengthBeforeNesting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("refused");
        // A UI value whose length field reads "II" (18761 bytes, past the file's end).
        const QByteArray damaged = tag(0x0020, 0x000D) + "UI" + QByteArray("II") + QByteArray("1.2.3.4\0", 8);
        QTest::newRow("explicit, nested 200 deep")
            << file("1.2.840.10008.1.2.1", uids() + damaged + nested(200)) << true;
        QTest::newRow("deflated, nested 200 deep")
            << file(Deflated, rawDeflate(uids() + damaged + nested(200))) << true;
        QTest::newRow("explicit, nested 3 deep") << file("1.2.840.10008.1.2.1", uids() + damaged + nested(3)) << false;
    }
    void damagedLengthBeforeNesting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, refused);
        QTemporaryDir dir;
        const QString path = write(dir, "x.dcm", bytes);
        QVERIFY(!path.isEmpty());
        const QString scan = dicom::scanParserLimits(path);
        QCOMPARE(!scan.isEmpty(), refused);
        if (refused)
            QVERIFY2(scan.contains("nested deeper than 64"), qPrintable(scan));
    }

    void deflatedDataSets()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        const QString path = write(dir, "x.dcm", bytes);
        QVERIFY(!path.isEmpty());
        const QString scan = dicom::scanElementStream(path);
        QCOMPARE(dicom::scanElementBytes(bytes), scan);
        if (refusal.isEmpty()) {
            QCOMPARE(scan, QString());
            QCOMPARE(dicom::readFileFacts(path).studyUid, QString("1.2.3.4"));
        } else {
            QVERIFY2(scan.contains(refusal), qPrintable(scan));
        }
    }

    void realDeflatedFilePasses()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("pydicom's test files are not installed");
        const QString path = kit::testFile("image_dfl.dcm");
        QCOMPARE(dicom::scanElementStream(path), QString());
        QVERIFY(!dicom::readFileFacts(path).sopUid.isEmpty());
        QVERIFY(dicom::Image::readFile(path));
    }

    void inflatingIsBounded()
    {
        // 4 MB of value that deflates to a few KB, against a bound of 1 MB.
        const QByteArray big = uids() + element(0x0009, 0x1010, "OB", QByteArray(4 << 20, '\0'));
        const QByteArray bytes = file(Deflated, rawDeflate(big));
        QVERIFY(bytes.size() < 64 * 1024);
        dicom::ScanLimits small;
        small.maxInflated = 1 << 20;
        QVERIFY2(dicom::scanElementBytes(bytes, small).contains("larger than"),
                 qPrintable(dicom::scanElementBytes(bytes, small)));
        QCOMPARE(dicom::scanElementBytes(bytes), QString()); // within the default bound
    }

    // Import, media and viewer read files through the same door; a file built to crash
    // the parser is refused with a message there too.
    void everyReaderRefusesTheNestedFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("explicit VR") << file("1.2.840.10008.1.2.1", uids() + nested(6000));
        QTest::newRow("deflated") << file(Deflated, rawDeflate(uids() + nested(6000)));
        QTest::newRow("DICOMDIR") << file("1.2.840.10008.1.2.1",
                                          uids(dicom::MediaDirectoryStorage.toLatin1()) + nested(6000),
                                          "1.2.840.10008.1.3.10");
    }
    void everyReaderRefusesTheNestedFile()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = write(dir, "DICOMDIR", bytes);
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::Image::readFile(path));
        QVERIFY_THROWS_EXCEPTION(AppError, dicom::readDicomDir(path));
        try {
            dicom::readDicomDir(path);
        } catch (const AppError &e) {
            QVERIFY2(e.description().contains("nested deeper"), qPrintable(e.description()));
        }
    }
};

QTEST_GUILESS_MAIN(TestElementScan)
#include "test_elementscan.moc"
