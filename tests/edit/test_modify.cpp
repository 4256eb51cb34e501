// The mammography modification: every view text against the image's laterality, the
// fixed presentation elements, and the written file checked by dciodvfy.
#include "../companions/CompanionTestKit.h"
#include "StoreFixture.h"
#include "dicom/Image.h"
#include "dicom/Uid.h"
#include "edit/ModifyImage.h"

#include <QtTest>

class TestModify : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::unique_ptr<dicom::Image> mammogram(const QString &view, char laterality, const QString &name)
    {
        StoreFixture::Mammogram m;
        m.size = QSize(120, 150);
        m.laterality = laterality == 'L' ? 'L' : 'R';
        m.studyUid = dicom::newUid();
        m.seriesUid = dicom::newUid();
        m.sopUid = dicom::newUid();
        const QString path = m_dir.filePath(name);
        StoreFixture::writeMammogram(path, m);
        auto image = dicom::Image::readFile(path);
        if (view.isNull())
            image->remove(0x0018, 0x5101);
        else
            image->setText(0x0018, 0x5101, view);
        if (laterality == 'L' || laterality == 'R')
            image->setText(0x0020, 0x0060, QString(QLatin1Char(laterality)));
        else if (laterality == 'x')
            image->setText(0x0020, 0x0060, QStringLiteral("B"));
        else
            image->remove(0x0020, 0x0060);
        return image;
    }

private slots:
    void views_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QChar>("laterality"); // L, R, '-' absent, x other
        QTest::addColumn<QString>("side");     // what the side dialog answers for ML
        QTest::addColumn<QString>("orientation");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("outLaterality");
        QTest::addColumn<QString>("outView"); // View Position afterwards; null = absent

        struct Named {
            const char *texts;
            const char *orientation, *code, *lat;
        };
        const Named named[] = {
            {"R CC|RCC|RLD", "P\\L", "R-10242", "R"},
            {"L CC|LCC|LLD", "A\\R", "R-10242", "L"},
            {"R OBLIQUE|RLO", "P\\FL", "R-10226", "R"},
            {"L OBLIQUE|LLO", "A\\FR", "R-10226", "L"},
            {"R MLO|MLO R|R-MLO|MLO-R|RMLO|MLOR", "P\\FL", "R-10226", "R"},
            {"L MLO|MLO L|L-MLO|MLO-L|LMLO|MLOL", "A\\FR", "R-10226", "L"},
        };
        // A named view ignores the image's laterality and keeps its View Position.
        for (const Named &n : named)
            for (const QString &t : QString::fromLatin1(n.texts).split(QLatin1Char('|')))
                for (QChar lat : {QChar('L'), QChar('R'), QChar('-'), QChar('x')})
                    QTest::addRow("%s/%c", qPrintable(t), lat.toLatin1())
                        << t << lat << QString() << QString::fromLatin1(n.orientation) << QString::fromLatin1(n.code)
                        << QString::fromLatin1(n.lat) << t;
        QTest::newRow("rlo lower case") << "rlo" << QChar('L') << QString() << "P\\FL" << "R-10226" << "R" << "rlo";
        QTest::newRow("MLO/L") << "MLO" << QChar('L') << QString() << "A\\FR" << "R-10226" << "L" << "L MLO";
        QTest::newRow("MLO/R") << "MLO" << QChar('R') << QString() << "P\\FL" << "R-10226" << "R" << "R MLO";
        QTest::newRow("MLO/absent") << "MLO" << QChar('-') << QString() << "" << "R-10226" << "" << " MLO";
        QTest::newRow("MLO/other") << "MLO" << QChar('x') << QString() << "" << "R-10226" << "" << " MLO";
        QTest::newRow("CC/R") << "CC" << QChar('R') << QString() << "P\\L" << "R-10242" << "R" << "R CC";
        QTest::newRow("CC/L") << "CC" << QChar('L') << QString() << "A\\R" << "R-10242" << "L" << "L CC";
        QTest::newRow("CC/absent") << "CC" << QChar('-') << QString() << "" << "R-10242" << "" << " CC";
        QTest::newRow("CC/other") << "CC" << QChar('x') << QString() << "" << "R-10242" << "" << " CC";
        // ML asks; the image's laterality is not consulted.
        QTest::newRow("ML/RIGHT") << "ML" << QChar('L') << "R" << "P\\F" << "R-10224" << "R" << "R ML";
        QTest::newRow("ML/LEFT") << "ML" << QChar('R') << "L" << "A\\F" << "R-10224" << "L" << "L ML";
        QTest::newRow("ML/closed") << "ML" << QChar('R') << "" << "" << "R-10224" << "" << " ML";
        // A trailing blank is padding of a code string; the toolkit drops it on reading.
        QTest::newRow("R CC and a blank") << "R CC " << QChar('L') << QString() << "P\\L" << "R-10242" << "R" << "R CC";
        QTest::newRow("unknown") << "AXILLA" << QChar('R') << QString() << "" << "" << "" << "AXILLA";
        QTest::newRow("absent") << QString() << QChar('L') << QString() << "" << "" << "" << QString();
    }

    void views()
    {
        QFETCH(QString, view);
        QFETCH(QChar, laterality);
        QFETCH(QString, side);
        QFETCH(QString, orientation);
        QFETCH(QString, code);
        QFETCH(QString, outLaterality);
        QFETCH(QString, outView);
        auto image = mammogram(view, laterality.toLatin1(), QStringLiteral("v.dcm"));
        const QString sop = image->sopInstanceUid();
        int asked = 0;
        ModifyImage modify([&](const dicom::Image &) {
            ++asked;
            return side;
        });
        modify.apply(*image);
        QCOMPARE(asked, view == QLatin1String("ML") ? 1 : 0);
        QCOMPARE(image->sopClassUid(), ModifyImage::MammoSopClass);
        QCOMPARE(image->sopInstanceUid(), sop);
        QCOMPARE(image->value(0x0020, 0x0020).value_or(QString()), orientation);
        // Laterality gives way to Image Laterality once the side is known.
        QCOMPARE(image->exists(0x0020, 0x0060), outLaterality.isEmpty());
        QCOMPARE(image->value(0x0020, 0x0060).value_or(QString()), QString());
        QCOMPARE(image->value(0x0020, 0x0062).value_or(QString()), outLaterality);
        QCOMPARE(image->value(0x0018, 0x5101).has_value(), !outView.isNull());
        if (!outView.isNull()) {
            // The leading blank of " MLO" is insignificant in a code string: the
            // toolkit reads it back without.
            QCOMPARE(image->values(0x0018, 0x5101)->at(0), outView.trimmed());
        }
        const auto seq = image->sequence(0x0054, 0x0220);
        QVERIFY(seq && seq->size() == 1);
        QCOMPARE(seq->at(0).value(0x0008, 0x0100).value_or(QString()), code);
        QCOMPARE(seq->at(0).value(0x0008, 0x0102).value_or(QString()), code.isEmpty() ? QString("SNM-3") : QString("SNM-3"));
        QCOMPARE(modify.viewSide(), view == QLatin1String("MLO") || view == QLatin1String("CC") || view == QLatin1String("ML")
                                        ? outLaterality
                                        : QString());
        QCOMPARE(image->value(0x0008, 0x0060).value_or(QString()), QStringLiteral("MG"));
    }

    void fixedElementsAndShutterGone()
    {
        auto image = mammogram(QStringLiteral("LMLO"), 'L', QStringLiteral("f.dcm"));
        image->setText(0x0018, 0x1600, QStringLiteral("CIRCULAR"));
        image->setText(0x0018, 0x1610, QStringLiteral("100\\100"));
        image->setText(0x0018, 0x1612, QStringLiteral("50"));
        image->setText(0x0018, 0x5100, QStringLiteral("HFS"));
        QVERIFY(image->storedWindow());
        ModifyImage().apply(*image);
        for (quint16 e : {0x1600, 0x1610, 0x1612, 0x1620, 0x5100})
            QVERIFY2(!image->exists(0x0018, e), qPrintable(QString::number(e, 16)));
        QVERIFY(image->storedWindow());
        QCOMPARE(*image->value(0x0008, 0x0068), QStringLiteral("FOR PRESENTATION"));
        QCOMPARE(*image->value(0x0028, 0x1041), QStringLiteral("-1"));
        QCOMPARE(*image->value(0x0028, 0x1052), QStringLiteral("0"));
        QCOMPARE(*image->value(0x0028, 0x1053), QStringLiteral("1"));
        QCOMPARE(*image->value(0x2050, 0x0020), QStringLiteral("IDENTITY"));
        QCOMPARE(image->sequence(0x0008, 0x2218)->at(0).value(0x0008, 0x0100).value_or(QString()), QStringLiteral("T-04000"));
        // MONOCHROME1 is presented inverted.
        auto mono1 = mammogram(QStringLiteral("RCC"), 'R', QStringLiteral("m1.dcm"));
        mono1->setText(0x0028, 0x0004, QStringLiteral("MONOCHROME1"));
        ModifyImage().apply(*mono1);
        QCOMPARE(*mono1->value(0x2050, 0x0020), QStringLiteral("INVERSE"));
    }

    // The written object is a valid mammography image; pixel data and transfer syntax
    // are as they were.
    void validIod_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("photometric");
        QTest::newRow("LMLO") << "LMLO" << "MONOCHROME2";
        QTest::newRow("R CC") << "R CC" << "MONOCHROME2";
        QTest::newRow("MLO monochrome1") << "MLO" << "MONOCHROME1";
    }
    void validIod()
    {
        QFETCH(QString, view);
        QFETCH(QString, photometric);
        auto image = mammogram(view, 'L', QStringLiteral("in.dcm"));
        image->setText(0x0028, 0x0004, photometric);
        image->setText(0x0018, 0x1600, QStringLiteral("CIRCULAR"));
        image->setText(0x0018, 0x1610, QStringLiteral("60\\60"));
        image->setText(0x0018, 0x1612, QStringLiteral("50"));
        // What the modality gives any mammogram and the modification leaves alone.
        image->setText(0x0008, 0x0008, QStringLiteral("ORIGINAL\\PRIMARY"));
        image->setText(0x0028, 0x2110, QStringLiteral("00"));
        image->setText(0x0008, 0x0090, QString());
        image->setText(0x0020, 0x0010, QStringLiteral("1"));
        image->setText(0x0008, 0x0050, QString());
        image->setText(0x0018, 0x1164, QStringLiteral("0.1\\0.1"));
        const QString before = m_dir.filePath(QStringLiteral("before.dcm"));
        image->writeFile(before);
        ModifyImage().apply(*image);
        const QString out = m_dir.filePath(QStringLiteral("out.dcm"));
        image->writeFile(out);
        QString report;
        kit::runTool(QStringLiteral("dciodvfy"), {out}, &report);
        const QStringList errors = report.split(QLatin1Char('\n')).filter(QStringLiteral("Error"));
        QVERIFY2(errors.isEmpty(), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("MammographyImageForPresentation")), qPrintable(report));
        auto a = dicom::Image::readFile(before);
        auto b = dicom::Image::readFile(out);
        QCOMPARE(b->transferSyntaxUid(), a->transferSyntaxUid());
        QString da, db;
        kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("+P"), QStringLiteral("7fe0,0010"), QStringLiteral("+L"), before}, &da);
        kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("+P"), QStringLiteral("7fe0,0010"), QStringLiteral("+L"), out}, &db);
        QVERIFY(!da.isEmpty());
        QCOMPARE(db, da);
    }
};

QTEST_GUILESS_MAIN(TestModify)
#include "test_modify.moc"
