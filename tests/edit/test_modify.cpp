// The mammography modification: every view text against the image's laterality, the
// fixed presentation elements, and the written file checked by dciodvfy.
#include "../companions/CompanionTestKit.h"
#include "StoreFixture.h"
#include "core/AppError.h"
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
        // The side given by the case alone: not by the generated image's Image Laterality.
        image->remove(0x0020, 0x0062);
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
        QTest::newRow("rlo lower case") << "rlo" << QChar('L') << QString() << "P\\FL"
                                        << "R-10226"
                                        << "R"
                                        << "rlo";
        QTest::newRow("MLO/L") << "MLO" << QChar('L') << QString() << "A\\FR"
                               << "R-10226"
                               << "L"
                               << "L MLO";
        QTest::newRow("MLO/R") << "MLO" << QChar('R') << QString() << "P\\FL"
                               << "R-10226"
                               << "R"
                               << "R MLO";
        // A view that names no side, on an image whose laterality does not either: asked.
        QTest::newRow("MLO/absent") << "MLO" << QChar('-') << "R"
                                    << "P\\FL"
                                    << "R-10226"
                                    << "R"
                                    << "R MLO";
        QTest::newRow("MLO/other") << "MLO" << QChar('x') << "L"
                                   << "A\\FR"
                                   << "R-10226"
                                   << "L"
                                   << "L MLO";
        QTest::newRow("CC/R") << "CC" << QChar('R') << QString() << "P\\L"
                              << "R-10242"
                              << "R"
                              << "R CC";
        QTest::newRow("CC/L") << "CC" << QChar('L') << QString() << "A\\R"
                              << "R-10242"
                              << "L"
                              << "L CC";
        QTest::newRow("CC/absent") << "CC" << QChar('-') << "R"
                                   << "P\\L"
                                   << "R-10242"
                                   << "R"
                                   << "R CC";
        QTest::newRow("CC/other") << "CC" << QChar('x') << "L"
                                  << "A\\R"
                                  << "R-10242"
                                  << "L"
                                  << "L CC";
        // ML asks; the image's laterality is not consulted.
        QTest::newRow("ML/RIGHT") << "ML" << QChar('L') << "R"
                                  << "P\\F"
                                  << "R-10224"
                                  << "R"
                                  << "R ML";
        QTest::newRow("ML/LEFT") << "ML" << QChar('R') << "L"
                                 << "A\\F"
                                 << "R-10224"
                                 << "L"
                                 << "L ML";
        // A trailing blank is padding of a code string; the toolkit drops it on reading.
        QTest::newRow("R CC and a blank") << "R CC " << QChar('L') << QString() << "P\\L"
                                          << "R-10242"
                                          << "R"
                                          << "R CC";
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
        const bool sideless = (view == QLatin1String("MLO") || view == QLatin1String("CC")) && laterality != QChar('L')
                              && laterality != QChar('R');
        QCOMPARE(asked, view == QLatin1String("ML") || sideless ? 1 : 0);
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
        QCOMPARE(seq->at(0).value(0x0008, 0x0102).value_or(QString()),
                 code.isEmpty() ? QString("SNM-3") : QString("SNM-3"));
        QCOMPARE(modify.viewSide(),
                 view == QLatin1String("MLO") || view == QLatin1String("CC") || view == QLatin1String("ML")
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
        QCOMPARE(image->sequence(0x0008, 0x2218)->at(0).value(0x0008, 0x0100).value_or(QString()),
                 QStringLiteral("T-04000"));
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
        QTest::newRow("LMLO") << "LMLO"
                              << "MONOCHROME2";
        QTest::newRow("R CC") << "R CC"
                              << "MONOCHROME2";
        QTest::newRow("MLO monochrome1") << "MLO"
                                         << "MONOCHROME1";
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
        kit::runTool(QStringLiteral("dcmdump"),
                     {QStringLiteral("+P"), QStringLiteral("7fe0,0010"), QStringLiteral("+L"), before}, &da);
        kit::runTool(QStringLiteral("dcmdump"),
                     {QStringLiteral("+P"), QStringLiteral("7fe0,0010"), QStringLiteral("+L"), out}, &db);
        QVERIFY(!da.isEmpty());
        QCOMPARE(db, da);
    }

    // Any image the station stores becomes a complete mammogram for presentation: what
    // the mammography image requires and the input lacks is added (image type, lossy
    // compression, imager pixel spacing, a window from the pixels), the side of a view
    // that names none is asked, and the copy is a new object that refers to its source.
    void fromAnyImage_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("sopClass");
        const QString cr = kit::testFile(QStringLiteral("dicomdirtests/77654033/CR1/6154"));
        QTest::newRow("CR") << cr << QString();
        QTest::newRow("DX") << cr << QStringLiteral("1.2.840.10008.5.1.4.1.1.1.1");
        QTest::newRow("SC lossy JPEG") << kit::testFile(QStringLiteral("JPEG-lossy.dcm")) << QString();
    }
    void fromAnyImage()
    {
        QFETCH(QString, source);
        QFETCH(QString, sopClass);
        QVERIFY2(QFileInfo::exists(source), "python3-pydicom's test files are installed by scripts/deps");
        auto image = dicom::Image::readFile(source);
        if (!sopClass.isEmpty()) {
            image->setSopClass(sopClass);
            image->setText(0x0008, 0x0060, QStringLiteral("DX"));
        }
        image->setText(0x0018, 0x5101, QStringLiteral("ML"));
        const QString sourceUid = image->sopInstanceUid();
        const QString sourceClass = image->sopClassUid();
        int asked = 0;
        ModifyImage modify([&](const dicom::Image &) {
            ++asked;
            return QStringLiteral("R");
        });
        modify.apply(*image);
        QCOMPARE(asked, 1);
        const QString out = m_dir.filePath(QStringLiteral("any-%1.dcm").arg(QTest::currentDataTag()).replace(' ', '_'));
        image->writeFile(out);
        QString report;
        kit::runTool(QStringLiteral("dciodvfy"), {out}, &report);
        const QStringList errors = report.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^Error")));
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        QVERIFY2(report.contains(QStringLiteral("MammographyImageForPresentation")), qPrintable(report));
        auto back = dicom::Image::readFile(out);
        QCOMPARE(back->sopClassUid(), ModifyImage::MammoSopClass);
        QVERIFY(back->sopInstanceUid() != sourceUid);
        QCOMPARE(back->value(0x0002, 0x0003).value_or(QString()), back->sopInstanceUid());
        const auto refs = back->sequence(0x0008, 0x2112);
        QVERIFY(refs && refs->size() == 1);
        QCOMPARE(refs->at(0).value(0x0008, 0x1155).value_or(QString()), sourceUid);
        QCOMPARE(refs->at(0).value(0x0008, 0x1150).value_or(QString()), sourceClass);
        QCOMPARE(back->value(0x0020, 0x0062).value_or(QString()), QStringLiteral("R"));
        QVERIFY(back->value(0x0028, 0x1050) && back->value(0x0028, 0x1051));
        QCOMPARE(kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("-q"), out}), 0);
        QString py;
        QCOMPARE(kit::runTool(
                     QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import sys,pydicom; d=pydicom.dcmread(sys.argv[1]); print(d.SOPClassUID)"), out},
                     &py),
                 0);
        QVERIFY2(py.contains(ModifyImage::MammoSopClass), qPrintable(py));
    }

    // A view or side the modification cannot tell is asked; unanswered, nothing is made
    // and the image is as it was.
    void unknownViewOrSideIsAsked_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("answer"); // to the view question; the side question gets it too
        QTest::addColumn<QString>("outView");
        QTest::addColumn<QString>("outLaterality");
        QTest::newRow("unknown, R CC chosen") << "AXILLA"
                                              << "R CC"
                                              << "R CC"
                                              << "R";
        QTest::newRow("absent, L MLO chosen") << QString() << "L MLO"
                                              << "L MLO"
                                              << "L";
        QTest::newRow("unknown, R ML chosen") << "SPOT"
                                              << "R ML"
                                              << "R ML"
                                              << "R";
        QTest::newRow("unknown, closed") << "AXILLA"
                                         << ""
                                         << ""
                                         << "";
        QTest::newRow("ML, closed") << "ML"
                                    << ""
                                    << ""
                                    << "";
        QTest::newRow("CC without side, closed") << "CC"
                                                 << ""
                                                 << ""
                                                 << "";
    }
    void unknownViewOrSideIsAsked()
    {
        QFETCH(QString, view);
        QFETCH(QString, answer);
        QFETCH(QString, outView);
        QFETCH(QString, outLaterality);
        auto image = mammogram(view, '-', QStringLiteral("u.dcm"));
        const QString before = m_dir.filePath(QStringLiteral("u-before.dcm"));
        image->writeFile(before);
        int asked = 0;
        ModifyImage modify(
            [&](const dicom::Image &) {
                ++asked;
                return answer;
            },
            [&](const dicom::Image &) {
                ++asked;
                return answer;
            });
        if (outView.isEmpty()) {
            try {
                modify.apply(*image);
                QFAIL("an image of unknown view or side was made a mammogram");
            } catch (const AppError &e) {
                QVERIFY2(e.description().contains(QStringLiteral("was not made a mammogram")),
                         qPrintable(e.description()));
            }
            QCOMPARE(asked, 1);
            const QString after = m_dir.filePath(QStringLiteral("u-after.dcm"));
            image->writeFile(after);
            QCOMPARE(kit::bytes(after), kit::bytes(before));
            return;
        }
        modify.apply(*image);
        QCOMPARE(asked, 1);
        QCOMPARE(image->value(0x0018, 0x5101).value_or(QString()), outView);
        QCOMPARE(image->value(0x0020, 0x0062).value_or(QString()), outLaterality);
        QCOMPARE(modify.viewSide(), outLaterality);
    }

    // Colour, signed and multi-frame images are no mammograms: refused, with the reason.
    void refusedImages_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("colour") << "SC_rgb_small_odd.dcm"
                                << "not a grey-scale image (RGB)";
        QTest::newRow("signed") << "CT_small.dcm"
                                << "signed";
        QTest::newRow("frames") << "dicomdirtests/77654033/CR1/6154"
                                << "several frames";
        QTest::newRow("no pixel spacing") << "image_dfl.dcm"
                                          << "does not say its pixel spacing";
    }
    void refusedImages()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        const QString path = kit::testFile(file);
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        auto image = dicom::Image::readFile(path);
        image->setText(0x0018, 0x5101, QStringLiteral("R CC"));
        if (QTest::currentDataTag() == QLatin1String("frames"))
            image->setText(0x0028, 0x0008, QStringLiteral("2"));
        try {
            ModifyImage().apply(*image);
            QFAIL("taken");
        } catch (const AppError &e) {
            QVERIFY2(e.description().contains(reason), qPrintable(e.description()));
        }
    }
};

QTEST_GUILESS_MAIN(TestModify)
#include "test_modify.moc"
