// Mutation drivers, run by CTest on a fixed seed and a bounded number of rounds: the dose
// message parser on the unit's messages and the element walk on real DICOM files, each
// cut, flipped, duplicated and spliced. A crash, a hang or a broken invariant fails.
#include "../companions/CompanionTestKit.h"
#include "Requires.h"
#include "core/AppError.h"
#include "dicom/ElementScan.h"
#include "dose/DoseMessage.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

namespace {

// One mutation of bytes: a cut, a flipped byte, an inserted run, a duplicated slice.
QByteArray mutate(QByteArray b, QRandomGenerator &rng)
{
    const int kinds = 1 + int(rng.bounded(3));
    for (int k = 0; k < kinds && !b.isEmpty(); ++k) {
        const int at = int(rng.bounded(quint32(b.size())));
        switch (rng.bounded(4)) {
        case 0:
            b.truncate(at);
            break;
        case 1:
            b[at] = char(rng.bounded(256));
            break;
        case 2:
            b.insert(at, QByteArray(1 + int(rng.bounded(8)), char(rng.bounded(256))));
            break;
        default:
            b.insert(at, b.mid(int(rng.bounded(quint32(b.size()))), 1 + int(rng.bounded(64))));
            break;
        }
    }
    return b;
}

} // namespace

class TestMutations : public QObject {
    Q_OBJECT
private slots:
    void doseMessages()
    {
        const QByteArray seeds[] = {
            QByteArray("12.50cGyCm\xB2;28kV;56mAs;W/Rh;350ms;18mm\r\n"),
            QByteArray("123.45cGyCm\xB2;30kV;80mAs;Mo;410ms\r\n9.75cGyCm\xB2;27kV;44mAs;W;310ms;36mm\r"),
            QByteArray("CH1 1.31 mGy 445 ms\r\nCH2 29 kV Mo Rh\r\nCH3 55 mAs 83 N\r\n"),
        };
        QRandomGenerator rng(20261208);
        QElapsedTimer t;
        t.start();
        int rounds = 0;
        for (; rounds < 30000 && t.elapsed() < 20000; ++rounds) {
            const QString text = QString::fromLatin1(mutate(seeds[rounds % 3], rng));
            for (bool final : {false, true}) {
                const DoseMessage::SemicolonSplit s = DoseMessage::splitSemicolon(text, final);
                // Every whole message begins at a dose value and carries its unit.
                for (const QString &m : s.complete)
                    QVERIFY2(m.contains(DoseMessage::DapUnit), qPrintable(m));
                if (final)
                    QVERIFY(s.rest.isEmpty());
                for (const QString &m : s.complete) {
                    QStringList dropped;
                    const DoseMessage::Values v =
                        DoseMessage::semicolonValues(DoseMessage::semicolonFields(m), &dropped);
                    QVERIFY(v.mGy1.size() <= m.size());
                }
            }
            try {
                DoseMessage::channelTokens(text);
            } catch (const AppError &) {
                // no "CH1": refused, as it must be
            }
            QString front;
            for (const QString &m : DoseMessage::channelMessages(text, &front))
                QVERIFY(m.startsWith(QStringLiteral("CH1")));
        }
        QVERIFY(rounds > 1000);
    }

    void elementWalkOnDamagedFiles()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("pydicom's test files are not installed");
        QList<QByteArray> seeds;
        for (const char *name :
             {"CT_small.dcm", "MR_small.dcm", "rtplan.dcm", "JPEG2000.dcm", "emri_small_big_endian.dcm"})
            if (QFile::exists(kit::testFile(QString::fromLatin1(name))))
                seeds << kit::bytes(kit::testFile(QString::fromLatin1(name)));
        QVERIFY(!seeds.isEmpty());
        for (const QByteArray &s : seeds)
            QCOMPARE(dicom::scanElementBytes(s), QString()); // the real files pass
        QRandomGenerator rng(8122026);
        QElapsedTimer t;
        t.start();
        int rounds = 0;
        for (; rounds < 3000 && t.elapsed() < 20000; ++rounds) {
            QElapsedTimer one;
            one.start();
            dicom::scanElementBytes(mutate(seeds[rounds % seeds.size()], rng));
            QVERIFY2(one.elapsed() < 2000, "the walk must stay cheap on damaged input");
        }
        QVERIFY(rounds > 100);
    }
};

QTEST_GUILESS_MAIN(TestMutations)
#include "test_mutations.moc"
