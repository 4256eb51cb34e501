// Editing values: every element of two real images (as dcmdump lists them) changed once
// with a value that fits it and once with one that does not. A fitting edit gives an
// object that dciodvfy finds no new error in and DCMTK and pydicom read; a misfit is
// refused with the rule it breaks and leaves the image as it was. The rules of each value
// representation and of the number of values, one row each.
#include "../companions/CompanionTestKit.h"
#include "core/AppError.h"
#include "dicom/Image.h"
#include "dicom/ValueCheck.h"
#include "edit/Task.h"
#include "edit/TaskApplier.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Element {
    QString tag; // "0010,0010"
    QString vr;
    int vm = 1;
};

// The top-level elements of a file with a text value, as dcmdump lists them.
QList<Element> textElements(const QString &file)
{
    QString dump;
    kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("-q"), QStringLiteral("-M"), file}, &dump);
    static const QRegularExpression line(R"(^\(([0-9a-f]{4}),([0-9a-f]{4})\) ([A-Z]{2}) .*#\s*\d+,\s*(\d+)\s)");
    QList<Element> out;
    for (const QString &l : dump.split('\n')) {
        const auto m = line.match(l);
        if (!m.hasMatch())
            continue;
        const quint16 g = quint16(m.captured(1).toUInt(nullptr, 16)), e = quint16(m.captured(2).toUInt(nullptr, 16));
        const QString vr = m.captured(3);
        if (g == 0x0002 || (g & 1) || vr == QLatin1String("SQ") || vr.startsWith('O') || vr == QLatin1String("UN"))
            continue;
        out.append(
            {QStringLiteral("%1,%2").arg(m.captured(1), m.captured(2)).toUpper(), vr, qMax(1, m.captured(4).toInt())});
    }
    return out;
}

// A value that fits the representation, with as many values as the element holds. Coded
// strings keep their value (their terms are defined by the standard); everything else
// gets a new one.
QString fittingValue(const Element &el, const QString &current)
{
    QString one;
    if (el.vr == "PN")
        one = "Edited^Name";
    else if (el.vr == "LO" || el.vr == "SH" || el.vr == "LT" || el.vr == "ST" || el.vr == "UT")
        one = "EDITED 1";
    else if (el.vr == "DA")
        one = "20240229";
    else if (el.vr == "TM")
        one = "235959";
    else if (el.vr == "DT")
        one = "20240229235959";
    else if (el.vr == "AS")
        one = "042Y";
    else
        return current; // CS, DS, IS, US, SS, FL, FD, UL, SL, AE
    QStringList values;
    for (int i = 0; i < el.vm; ++i)
        values << one;
    return values.join('\\');
}

// A value that breaks the representation's rules; empty where none is known.
QString misfit(const Element &el)
{
    static const QHash<QString, QString> byVr{{"CS", "lower case"},
                                              {"DA", "2024-13-45"},
                                              {"TM", "25:99"},
                                              {"DT", "yesterday"},
                                              {"DS", "one point five"},
                                              {"IS", "1.5"},
                                              {"US", "70000"},
                                              {"SS", "40000"},
                                              {"UL", "-1"},
                                              {"AS", "12 years"},
                                              {"PN", "a=b=c=d"},
                                              {"SH", "SEVENTEEN CHARSXX"},
                                              {"LO", QString(65, 'x')},
                                              {"AE", QString(17, 'A')},
                                              {"ST", QStringLiteral("bell\x07")},
                                              {"LT", QStringLiteral("bell\x07")},
                                              {"FL", "many"},
                                              {"FD", "many"},
                                              {"UI", "1.2.abc"}};
    return byVr.value(el.vr);
}

Task changeTask(const QString &tag, const QString &value)
{
    Task t;
    t.level = QStringLiteral("Image #1");
    t.source = tag + QStringLiteral(" - element");
    t.type = Task::Change;
    t.task = Task::typeText(Task::Change);
    t.target = value;
    return t;
}

} // namespace

class TestEditValues : public QObject {
    Q_OBJECT
private slots:
    void everyElementOfARealImage_data();
    void everyElementOfARealImage();
    void rulesOfEachRepresentation_data();
    void rulesOfEachRepresentation();
    void elementsNoTaskMayChange_data();
    void elementsNoTaskMayChange();
};

void TestEditValues::everyElementOfARealImage_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("CT_small") << "CT_small.dcm";
    QTest::newRow("MR_small") << "MR_small.dcm";
}

void TestEditValues::everyElementOfARealImage()
{
    QFETCH(QString, name);
    const QString source = kit::testFile(name);
    QVERIFY2(QFileInfo::exists(source), "python3-pydicom's test files are installed by scripts/deps");
    QTemporaryDir dir;
    const QStringList before = kit::dciodvfyErrors(source);
    const QList<Element> elements = textElements(source);
    QVERIFY2(elements.size() > 40, qPrintable(QString::number(elements.size())));
    int edited = 0, refused = 0;
    QStringList problems;
    for (const Element &el : elements) {
        quint16 g = 0, e = 0;
        Task::parseTag(el.tag, &g, &e);
        if (TaskApplier::describesPixels(g, e) || TaskApplier::isUid(g, e))
            continue; // refused as a whole (below), UIDs only through "New UID"
        auto image = dicom::Image::readFile(source);
        const QString current = image->value(g, e).value_or(QString());
        const QString good = fittingValue(el, current);
        TaskApplier applier;
        try {
            applier.apply(changeTask(el.tag, good), *image);
        } catch (const AppError &err) {
            problems << el.tag + " " + el.vr + " \"" + good + "\" refused: " + err.description();
            continue;
        }
        const QString out = dir.filePath(el.tag.left(4) + el.tag.mid(5) + ".dcm");
        image->writeFile(out);
        const QStringList after = kit::dciodvfyErrors(out);
        for (const QString &err : after)
            if (!before.contains(err))
                problems << el.tag + " " + el.vr + " \"" + good + "\": " + err;
        if (dicom::Image::readFile(out)->value(g, e).value_or(QString()) != good)
            problems << el.tag + ": written value differs";
        ++edited;

        const QString bad = misfit(el);
        if (bad.isEmpty())
            continue;
        auto untouched = dicom::Image::readFile(source);
        try {
            TaskApplier().apply(changeTask(el.tag, bad), *untouched);
            problems << el.tag + " " + el.vr + " took \"" + bad + "\"";
        } catch (const AppError &err) {
            if (!err.description().contains(el.tag))
                problems << el.tag + ": refusal does not name the element: " + err.description();
            ++refused;
        }
        if (untouched->value(g, e).value_or(QString()) != current)
            problems << el.tag + ": a refused value changed the image";
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    QVERIFY(edited > 30);
    QVERIFY(refused > 30);
    // pydicom reads every edited file.
    QString out;
    const int rc = kit::runTool(QStringLiteral("/usr/bin/python3"),
                                {QStringLiteral("-c"),
                                 QStringLiteral("import sys,glob,pydicom\n"
                                                "for f in glob.glob(sys.argv[1]+'/*.dcm'):\n"
                                                "    d=pydicom.dcmread(f); [e.value for e in d]\n"
                                                "print('read', len(glob.glob(sys.argv[1]+'/*.dcm')))"),
                                 dir.path()},
                                &out);
    QVERIFY2(rc == 0 && out.contains(QStringLiteral("read %1").arg(edited)), qPrintable(out));
}

void TestEditValues::rulesOfEachRepresentation_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("rule"); // empty: fits
    QTest::newRow("CS upper case") << "0008,0060"
                                   << "MG"
                                   << "";
    QTest::newRow("CS lower case") << "0008,0060"
                                   << "mg"
                                   << "upper case letters, digits, space and underscore";
    QTest::newRow("CS 17") << "0018,5101"
                           << "ABCDEFGHIJKLMNOPQ"
                           << "at most 16";
    QTest::newRow("CS several") << "0008,0008"
                                << "ORIGINAL\\PRIMARY"
                                << "";
    QTest::newRow("CS one value bad") << "0008,0008"
                                      << "ORIGINAL\\primary"
                                      << "value 2";
    QTest::newRow("SH 16") << "0008,1010"
                           << "ROOM 1 STATION X"
                           << "";
    QTest::newRow("SH 17") << "0008,1010"
                           << "ROOM 1 STATION XY"
                           << "at most 16";
    QTest::newRow("LO 64") << "0008,0070" << QString(64, 'L') << "";
    QTest::newRow("LO 65") << "0008,0070" << QString(65, 'L') << "at most 64";
    QTest::newRow("LO tab") << "0008,0070"
                            << "a\tb"
                            << "control characters";
    QTest::newRow("PN five parts") << "0010,0010"
                                   << "Doe^Jane^M^Dr^PhD"
                                   << "";
    QTest::newRow("PN six parts") << "0010,0010"
                                  << "Doe^Jane^M^Dr^PhD^X"
                                  << "five components";
    QTest::newRow("PN three groups") << "0010,0010"
                                     << "Doe^Jane=ド=ど"
                                     << "";
    QTest::newRow("PN four groups") << "0010,0010"
                                    << "a=b=c=d"
                                    << "three groups";
    QTest::newRow("PN two names") << "0010,0010"
                                  << "Doe^Jane\\Roe^Ann"
                                  << "takes 1 value";
    QTest::newRow("AE 16") << "0008,0054"
                           << "ABCDEFGHIJKLMNOP"
                           << "";
    QTest::newRow("AE 17") << "0008,0054"
                           << "ABCDEFGHIJKLMNOPQ"
                           << "at most 16";
    QTest::newRow("AE blanks") << "0008,0054"
                               << "   "
                               << "not only blanks";
    QTest::newRow("DA") << "0008,0020"
                        << "2024-01-01"
                        << "not a date";
    QTest::newRow("TM") << "0008,0030"
                        << "12:30"
                        << "not a time";
    QTest::newRow("DS 2") << "0028,0030"
                          << "0.1\\0.1"
                          << "";
    QTest::newRow("DS 1 of 2") << "0028,0030"
                               << "0.1"
                               << "takes 2 value";
    QTest::newRow("DS 3 of 2") << "0028,0030"
                               << "0.1\\0.1\\0.1"
                               << "takes 2 value";
    QTest::newRow("IS") << "0020,0013"
                        << "1.5"
                        << "does not fit IS";
    QTest::newRow("Modality one value") << "0008,0060"
                                        << "MG\\CR"
                                        << "takes 1 value";
    QTest::newRow("LT keeps backslash") << "0020,4000"
                                        << "a\\b\nnext line"
                                        << "";
    QTest::newRow("LT control") << "0020,4000" << QStringLiteral("bell\x07") << "control characters";
    QTest::newRow("US or SS") << "0028,0106"
                              << "70000"
                              << "not a number from";
    QTest::newRow("empty always fits") << "0008,0060"
                                       << ""
                                       << "";
}

void TestEditValues::rulesOfEachRepresentation()
{
    QFETCH(QString, tag);
    QFETCH(QString, value);
    QFETCH(QString, rule);
    auto image = dicom::Image::readFile(kit::testFile(QStringLiteral("CT_small.dcm")));
    quint16 g = 0, e = 0;
    QVERIFY(Task::parseTag(tag, &g, &e));
    const QString why = dicom::valueProblem(*image, g, e, value);
    if (rule.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.contains(rule), qPrintable(why.isEmpty() ? QStringLiteral("accepted") : why));
}

void TestEditValues::elementsNoTaskMayChange_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    for (const char *tag : {"0028,0010", "0028,0011", "0028,0100", "0028,0101", "0028,0102", "0028,0103", "0028,0002",
                            "0028,0004", "0028,0006", "0028,0008", "0002,0010", "0008,0016", "7FE0,0010"})
        QTest::newRow(tag) << QString(tag) << int(Task::Change);
    QTest::newRow("moved into Bits Allocated") << "0008,0020" << int(Task::Move);
    QTest::newRow("Study ID into the Study UID") << "0020,0010" << int(Task::Switch);
}

void TestEditValues::elementsNoTaskMayChange()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    Task t = changeTask(tag, QStringLiteral("512"));
    t.type = type;
    t.task = Task::typeText(type);
    if (type == Task::Move)
        t.target = QStringLiteral("0028,0100 - Bits Allocated");
    else if (type == Task::Switch)
        t.target = QStringLiteral("0020,000D - Study Instance UID");
    try {
        TaskApplier::checkTask(t);
        QFAIL("the task was taken");
    } catch (const AppError &e) {
        QVERIFY2(e.description().contains(type == Task::Switch ? "UID cannot be moved or switched"
                                                               : "describes the pixel data"),
                 qPrintable(e.description()));
    }
}

QTEST_GUILESS_MAIN(TestEditValues)
#include "test_edit_values.moc"
