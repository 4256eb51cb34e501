// The header list of the picked image: GetHeaderElement's stop rules, the list against
// dcmdump for real files in several character sets, columns and sorting, the editor fed
// by a row click, and the refresh after the Options dialog.
#include "PanelHost.h"
#include "Requires.h"
#include "core/Database.h"
#include "edit/DictionaryTable.h"
#include "edit/HeaderPanel.h"
#include "edit/ModalityFilters.h"
#include "edit/TaskPanel.h"

#include "StoreFixture.h"
#include "Wait.h"
#include "dicom/Image.h"
#include "edit/HeaderElement.h"
#include <QTreeWidget>
#include <QWidget>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

class TestHeader : public QObject {
    Q_OBJECT
private slots:
    void stopRules_data();
    void stopRules();
    void elementsOfAnImage();
    void hugeValuesNeitherHangNorCrash();
    void listMatchesDcmdump_data();
    void listMatchesDcmdump();
    void columnsRowsAndAbsentElements();
    void sortRule();
    void noActiveFilterNoFill();
    void listEmptiesWithTheImage();
    void rowClickFillsTheEditor_data();
    void rowClickFillsTheEditor();
    void targetListExcludesTheSelectedElement();
    void editorTakesStoredValuesAndRefusesMisfits();
    void refreshAfterOptions();
    void tamperedActiveFilterIsRefused_data();
    void tamperedActiveFilterIsRefused();
};

void TestHeader::stopRules_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("text");
    QTest::newRow("three") << QStringList{"A", "B", "C"} << "A | B | C";
    QTest::newRow("5 and 5") << QStringList{"5", "5"} << "5";
    QTest::newRow("1 1 2") << QStringList{"1", "1", "2"} << "1";
    QTest::newRow("second empty") << QStringList{"A", "", "C"} << "A";
    QTest::newRow("first empty") << QStringList{"", "B"} << "";
    QTest::newRow("unknown ends") << QStringList{"A", "Unknown Data Type", "B"} << "A | Unknown Data Type";
    QTest::newRow("case counts") << QStringList{"a", "A"} << "a | A";
    QTest::newRow("none") << QStringList{} << "";
    QTest::newRow("single") << QStringList{"MG"} << "MG";
}

void TestHeader::stopRules()
{
    QFETCH(QStringList, values);
    QFETCH(QString, text);
    QCOMPARE(HeaderElement::joinValues(std::vector<QString>(values.begin(), values.end())), text);
}

void TestHeader::elementsOfAnImage()
{
    TestStation ts;
    auto img = dicom::Image::create();
    img->setText(0x0008, 0x0008, "ORIGINAL\\PRIMARY\\\\AXIAL");
    img->setText(0x0028, 0x0030, "0.1\\0.1");
    img->setText(0x0010, 0x0010, "Müller^Anna");
    img->setText(0x0010, 0x0030, "19600102");
    img->setText(0x0020, 0x4000, "a\\b stays one value");
    img->setInt(0x0028, 0x0010, 512);
    img->setSequence(0x0054, 0x0220, {dicom::DataSet().set(0x0008, 0x0100, "R-10226")});
    const QString file = ts.root() + "/e.dcm";
    img->writeFile(file);
    auto back = dicom::Image::readFile(file);
    auto get = [&](const char *g, const char *e) { return HeaderElement::GetHeaderElement(*ts, g, e, *back); };
    QCOMPARE(get("0008", "0008"), QString("ORIGINAL | PRIMARY"));
    QCOMPARE(get("0028", "0030"), QString("0.1"));
    QCOMPARE(get("0010", "0010"), QString("Müller^Anna"));
    QCOMPARE(get("0010", "0030"), QString("19600102"));
    QCOMPARE(get("0020", "4000"), QString("a\\b stays one value"));
    QCOMPARE(get("0028", "0010"), QString("512"));
    QCOMPARE(get("0054", "0220"), QString("Unknown Data Type"));
    QCOMPARE(get("0002", "0010"), QString("1.2.840.10008.1.2.1"));
    QCOMPARE(get("0010", "0020"), QString());
    // A broken tag text reads as empty and leaves its trace in the error log.
    QCOMPARE(get("00G8", "0010"), QString());
    QVERIFY(QString::fromUtf8(readFile(ts->paths().logsDir() + "/Error.log")).contains("GetHeaderElement"));
}

void TestHeader::hugeValuesNeitherHangNorCrash()
{
    TestStation ts;
    auto img = dicom::Image::create();
    // Text of 1 MB (UT), 100000 numbers in one value, two equal 300000-digit values.
    img->setText(0x0040, 0xA160, QString(1 << 20, QChar('x')));
    QStringList many;
    for (int i = 0; i < 100000; ++i)
        many << QString::number(i);
    img->setText(0x0028, 0x1050, many.join('\\'));
    img->setText(0x0008, 0x0008, QString(300000, QChar('7')) + "\\" + QString(300000, QChar('7')));
    QElapsedTimer t;
    t.start();
    QCOMPARE(HeaderElement::GetHeaderElement(*ts, "0040", "A160", *img).size(), 1 << 20);
    const QString joined = HeaderElement::GetHeaderElement(*ts, "0028", "1050", *img);
    QVERIFY(joined.startsWith("0 | 1 | 2 | "));
    QVERIFY(joined.endsWith(" | 99999"));
    QCOMPARE(HeaderElement::GetHeaderElement(*ts, "0008", "0008", *img).size(), 300000);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString("took %1 ms").arg(t.elapsed())));

    // The list shows a cut value; the editor gets the whole one.
    const QString file = ts.root() + "/big.dcm";
    img->writeFile(file);
    PanelHost h;
    h.useFilter("BIG", {"0040,A160", "7FE0,0010"});
    h.pick(file);
    QCOMPARE(h.list()->topLevelItemCount(), 2);
    QTreeWidgetItem *row = h.list()->topLevelItem(0);
    QVERIFY(row->text(HeaderPanel::ValueColumn).size() <= HeaderPanel::MaxShownValue + 4);
    emit h.list()->itemClicked(row, 0);
    QCOMPARE(h.window.findChild<QLineEdit *>("txtNeu")->text().size(), 1 << 20);
}

namespace {

// dcmdump's top-level elements as (tag, the text the header list must show).
QList<QPair<QString, QString>> dcmdumpExpected(const QString &file, bool utf8 = true)
{
    QProcess p;
    p.start("dcmdump", QStringList{utf8 ? "+U8" : "-Un", "-Un", "+L", "-q", file});
    p.waitForFinished(30000);
    static const QRegularExpression line(R"(^\(([0-9a-f]{4}),([0-9a-f]{4})\) (\w\w) (.*)\s+#\s+(\d+), (\d+) (\S+)$)");
    static const QStringList binary{"OB", "OW", "OF", "OD", "OL", "OV", "UN", "ox", "xs"};
    static const QStringList single{"LT", "ST", "UT", "UR"};
    QList<QPair<QString, QString>> out;
    for (const QString &l : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const auto m = line.match(l);
        if (!m.hasMatch())
            continue;
        const QString tag = (m.captured(1) + "," + m.captured(2)).toUpper();
        if (tag.startsWith("FFFE"))
            continue; // delimiters of sequences
        const QString vr = m.captured(3);
        QString v = m.captured(4).trimmed();
        const long length = m.captured(5).toLong();
        QString expected;
        if (vr == "SQ")
            expected = v.contains("#=0)") ? QString() : QStringLiteral("Unknown Data Type");
        else if (binary.contains(vr) && vr != "xs")
            expected = length > 0 ? QStringLiteral("Unknown Data Type") : QString();
        else if (v.startsWith("(no value available)"))
            expected.clear();
        else {
            if (v.startsWith('[') && v.endsWith(']'))
                v = v.mid(1, v.size() - 2);
            QStringList parts = single.contains(vr) ? QStringList{v} : v.split('\\');
            std::vector<QString> values;
            for (const QString &s : parts)
                values.push_back(s.trimmed());
            expected = HeaderElement::joinValues(values);
        }
        out.append({tag, expected});
    }
    if (utf8) {
        // Converting to UTF-8 rewrites the character set; the file holds its own.
        for (auto &e : out) {
            if (e.first == "0008,0005") {
                e.second.clear();
                for (const auto &raw : dcmdumpExpected(file, false))
                    if (raw.first == e.first)
                        e.second = raw.second;
            }
        }
    }
    return out;
}

} // namespace

void TestHeader::listMatchesDcmdump_data()
{
    QTest::addColumn<QString>("file");
    const QString base = pydicomTestFiles();
    if (base.isEmpty())
        CALVAREX_MISSING("python3-pydicom is not installed");
    QTest::newRow("CT_small") << base + "/CT_small.dcm";
    QTest::newRow("MR_small") << base + "/MR_small.dcm";
    const QDir charsets(base + "/../charset_files");
    for (const QString &f : charsets.entryList({"*.dcm"}, QDir::Files, QDir::Name))
        QTest::newRow(qPrintable(f)) << charsets.filePath(f);
}

void TestHeader::listMatchesDcmdump()
{
    QFETCH(QString, file);
    auto expected = dcmdumpExpected(file);
    // Character sets the toolkit cannot decode (ISO 2022 IR 87 with this iconv): the
    // list still fills and matches wherever the text is plain ASCII.
    const bool decoded = !expected.isEmpty();
    if (!decoded)
        expected = dcmdumpExpected(file, false);
    QVERIFY(expected.size() > 4);
    PanelHost h;
    QStringList tags;
    for (const auto &e : expected)
        tags << e.first;
    h.useFilter("REAL", tags);
    QCOMPARE(int(h.header->state().filterSet().size()), int(expected.size()));
    h.pick(file);
    const auto rows = h.rows();
    QCOMPARE(rows.size(), expected.size());
    // The list is sorted by tag, as dcmdump prints.
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows[i].first, expected[i].first);
        bool ascii = true;
        for (QChar c : expected[i].second)
            ascii = ascii && c.unicode() < 0x80;
        if (!decoded && !ascii)
            continue;
        QVERIFY2(rows[i].second == expected[i].second,
                 qPrintable(QString("%1: list \"%2\", dcmdump \"%3\"")
                                .arg(rows[i].first, rows[i].second.left(200), expected[i].second.left(200))));
    }
    QVERIFY(h.errorLog().isEmpty());
}

void TestHeader::columnsRowsAndAbsentElements()
{
    PanelHost h;
    QTreeWidget *lv = h.list();
    QCOMPARE(lv->objectName(), QString("lvHeader"));
    QCOMPARE(lv->headerItem()->text(0), QString("Value"));
    QCOMPARE(lv->headerItem()->text(1), QString("DICOM Tag"));
    QCOMPARE(lv->headerItem()->text(2), QString("DICOM Description"));
    // Shown as Tag, Description, Value.
    QCOMPARE(lv->header()->logicalIndex(0), 1);
    QCOMPARE(lv->header()->logicalIndex(1), 2);
    QCOMPARE(lv->header()->logicalIndex(2), 0);

    h.useFilter("MG", {"0020,000D", "0010,0010", "0010,1010", "0008,0060"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    const auto rows = h.rows();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[0].first, QString("0008,0060"));
    QCOMPARE(rows[1].first, QString("0010,0010"));
    QCOMPARE(rows[2], (QPair<QString, QString>("0010,1010", QString()))); // absent: empty value
    QCOMPARE(rows[3], (QPair<QString, QString>("0020,000D", "1.2.3.4")));
    QCOMPARE(lv->topLevelItem(2)->text(2), QString("PatientAge"));
}

void TestHeader::sortRule()
{
    PanelHost h;
    h.useFilter("MG", {"0020,000D", "0010,0010", "0008,0060"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    auto tags = [&] {
        QStringList t;
        for (const auto &r : h.rows())
            t << r.first;
        return t;
    };
    QCOMPARE(tags(), (QStringList{"0008,0060", "0010,0010", "0020,000D"}));
    QHeaderView *header = h.list()->header();
    // The sort column clicked again flips the order ...
    emit header->sectionClicked(HeaderPanel::TagColumn);
    QCOMPARE(tags(), (QStringList{"0020,000D", "0010,0010", "0008,0060"}));
    // ... a new column keeps it (descending by description) ...
    h.header->columnClicked(HeaderPanel::DescriptionColumn);
    QCOMPARE(h.header->sortOrder(), Qt::DescendingOrder);
    QCOMPARE(h.list()->topLevelItem(0)->text(2), QString("StudyInstanceUID"));
    // ... and the tag column again keeps descending, then flips to ascending.
    h.header->columnClicked(HeaderPanel::TagColumn);
    QCOMPARE(tags(), (QStringList{"0020,000D", "0010,0010", "0008,0060"}));
    h.header->columnClicked(HeaderPanel::TagColumn);
    QCOMPARE(tags(), (QStringList{"0008,0060", "0010,0010", "0020,000D"}));
}

void TestHeader::noActiveFilterNoFill()
{
    PanelHost h;
    MainHooks::run(h.hooks.loadModFilter);
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    QCOMPARE(h.list()->topLevelItemCount(), 0);
}

void TestHeader::listEmptiesWithTheImage()
{
    PanelHost h;
    h.useFilter("MG", {"0020,000D"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    QCOMPARE(h.list()->topLevelItemCount(), 1);
    h.pick(QString(), 0);
    QCOMPARE(h.list()->topLevelItemCount(), 0);
    h.pick(file);
    h.edits.clear();
    QCOMPARE(h.list()->topLevelItemCount(), 0);
    // An unreadable file gives an empty list and a log line, not a crash.
    QFile bad(h.ts().root() + "/bad.dcm");
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("not dicom at all");
    bad.close();
    h.pick(bad.fileName());
    QCOMPARE(h.list()->topLevelItemCount(), 0);
    QVERIFY(h.errorLog().contains("MainForm LoadHeaderData"));
}

void TestHeader::rowClickFillsTheEditor_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("neu");
    QTest::addColumn<bool>("locked");
    QTest::newRow("SOP instance") << "0008,0018"
                                  << "New UID" << true;
    QTest::newRow("study instance") << "0020,000D"
                                    << "New UID" << true;
    QTest::newRow("series instance") << "0020,000E"
                                     << "New UID" << true;
    QTest::newRow("modality") << "0008,0060"
                              << "OT" << false;
}

void TestHeader::rowClickFillsTheEditor()
{
    QFETCH(QString, tag);
    QFETCH(QString, neu);
    QFETCH(bool, locked);
    PanelHost h;
    h.useFilter("MG", {"0008,0018", "0020,000D", "0020,000E", "0008,0060"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    auto *cboTask = h.window.findChild<QComboBox *>("cboTask");
    QCOMPARE(cboTask->currentText(), QString("Change entry"));
    QCOMPARE(h.window.findChild<QComboBox *>("cboLevel")->currentText(), QString("Image"));
    cboTask->setCurrentIndex(2);
    QTreeWidgetItem *row = h.list()->findItems(tag, Qt::MatchExactly, HeaderPanel::TagColumn).value(0);
    QVERIFY(row);
    emit h.list()->itemClicked(row, 0);
    auto *txtNeu = h.window.findChild<QLineEdit *>("txtNeu");
    QCOMPARE(h.window.findChild<QLineEdit *>("txtSelected")->text(), tag + " - " + row->text(2));
    QCOMPARE(txtNeu->text(), neu);
    QCOMPARE(txtNeu->isEnabled(), !locked);
    QCOMPARE(cboTask->isEnabled(), !locked);
    QCOMPARE(cboTask->currentText(), QString(locked ? "Change entry" : "Switch entry"));
    for (const char *name : {"cmdTask_0", "cmdTask_1"})
        QVERIFY(h.window.findChild<QPushButton *>(name));
}

void TestHeader::targetListExcludesTheSelectedElement()
{
    PanelHost h;
    h.useFilter("MG", {"0008,0060", "0010,0010", "0010,0020"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    auto *cboTask = h.window.findChild<QComboBox *>("cboTask");
    auto *cboTarget = h.window.findChild<QComboBox *>("cboTarget");
    emit h.list()->itemClicked(h.list()->topLevelItem(1), 0); // 0010,0010
    cboTask->setCurrentIndex(1);
    QStringList targets;
    for (int i = 0; i < cboTarget->count(); ++i)
        targets << cboTarget->itemText(i);
    QCOMPARE(targets, (QStringList{"0008,0060 - Modality", "0010,0020 - PatientID"}));
    // A newly selected element leaves the list, the one before comes back.
    emit h.list()->itemClicked(h.list()->topLevelItem(0), 0);
    QCOMPARE(cboTarget->itemText(0), QString("0010,0010 - PatientName"));
    QCOMPARE(cboTarget->count(), 2);
    cboTask->setCurrentIndex(0);
    QCOMPARE(cboTarget->count(), 0);
}

// The editor is offered the values as they are stored (several joined with "\\"), so
// that a changed multi-valued element keeps its values; a task whose value breaks the
// element's rules, or that edits what describes the pixels, is refused when it is added.
void TestHeader::editorTakesStoredValuesAndRefusesMisfits()
{
    PanelHost h;
    h.useFilter("MG", {"0008,0008", "0028,0030", "0028,0010", "0008,0060"});
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    {
        auto img = dicom::Image::readFile(file);
        img->setText(0x0008, 0x0008, "DERIVED\\PRIMARY");
        img->setText(0x0028, 0x0030, "0.1\\0.2");
        img->writeFile(file);
    }
    h.selection.setViewerFiles({file});
    h.pick(file);
    auto *txtNeu = h.window.findChild<QLineEdit *>("txtNeu");
    auto *add = h.window.findChild<QPushButton *>("cmdTask_0");
    auto *tasks = h.window.findChild<QTreeWidget *>("lvTasks");
    auto click = [&](const QString &tag) {
        QTreeWidgetItem *row = h.list()->findItems(tag, Qt::MatchExactly, HeaderPanel::TagColumn).value(0);
        QVERIFY(row);
        emit h.list()->itemClicked(row, 0);
    };
    click("0008,0008");
    QCOMPARE(txtNeu->text(), QString("DERIVED\\PRIMARY"));
    QCOMPARE(h.list()->findItems("0008,0008", Qt::MatchExactly, HeaderPanel::TagColumn).value(0)->text(0),
             QString("DERIVED | PRIMARY")); // shown as before
    add->click();
    QCOMPARE(tasks->topLevelItemCount(), 1);
    QCOMPARE(tasks->topLevelItem(0)->text(4), QString("DERIVED\\PRIMARY"));

    struct Case {
        const char *tag;
        const char *value;
        const char *said;
    };
    const Case refused[] = {{"0028,0030", "0.1", "takes 2 value(s)"},
                            {"0008,0060", "mg", "upper case letters"},
                            {"0028,0010", "512", "describes the pixel data"}};
    for (const Case &c : refused) {
        h.ts().prompter.clear();
        click(c.tag);
        txtNeu->setText(c.value);
        add->click();
        QCOMPARE(tasks->topLevelItemCount(), 1);
        QVERIFY2(h.ts().prompter.lastText().contains(c.said),
                 qPrintable(c.tag + QString(": ") + h.ts().prompter.lastText()));
    }
}

void TestHeader::refreshAfterOptions()
{
    PanelHost h;
    h.useFilter("MG", {"0008,0060"});
    ModalityFilters filters(h.ts()->paths());
    const QString file = h.ts().root() + "/m.dcm";
    StoreFixture::writeSmallImage(file, "1.2.3.4", "1.2.3.4.5", "1.2.3.4.5.6", 1);
    h.pick(file);
    QCOMPARE(h.list()->topLevelItemCount(), 1);
    // Tags added to the active filter show after the dialog.
    filters.addTags("MG", {"0010,0010"});
    MainHooks::run(h.hooks.optionsClosed);
    QCOMPARE(h.list()->topLevelItemCount(), 2);
    // The active filter deleted: no filter, an empty list.
    filters.remove("MG");
    h.ts()->settings().filterActive.clear();
    MainHooks::run(h.hooks.optionsClosed);
    QCOMPARE(h.list()->topLevelItemCount(), 0);
    QVERIFY(h.header->state().filterSet().empty());
    h.pick(file);
    QCOMPARE(h.list()->topLevelItemCount(), 0);
}

void TestHeader::tamperedActiveFilterIsRefused_data()
{
    QTest::addColumn<QString>("active");
    QTest::newRow("fixed column") << "VISIBLE";
    QTest::newRow("statement") << "1=1 OR Tag";
    QTest::newRow("drop") << "x;DROP TABLE tblDictionary";
    QTest::newRow("unknown filter") << "CT";
}

void TestHeader::tamperedActiveFilterIsRefused()
{
    QFETCH(QString, active);
    PanelHost h;
    // Filter\Active as a hand-edited settings file gives it.
    h.ts()->settingsStore().writeValue("Filter/Active", active);
    h.ts()->loadSettings();
    QCOMPARE(h.ts()->settings().filterActive, active);
    MainHooks::run(h.hooks.loadModFilter);
    QVERIFY(h.header->state().filterSet().empty());
    QVERIFY(h.errorLog().contains("MainForm LoadModFilter"));
    Database db = Database::openUser(h.ts()->paths());
    QVERIFY(db.scalar("SELECT COUNT(*) FROM tblDictionary").toLongLong() > 1000);
}

QTEST_MAIN(TestHeader)
#include "test_header.moc"
