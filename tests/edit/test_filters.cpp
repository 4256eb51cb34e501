// Modality filters and the dictionary in a real user database: names that could become
// statements are refused before any, a filter and its column come and go together, and
// the add-tag rules of the dictionary editor.
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "edit/DictionaryTable.h"
#include "edit/ModalityFilters.h"
#include "store/Schema.h"

#include <QSqlField>

#include <QtTest>

class TestFilters : public QObject {
    Q_OBJECT
private slots:
    void createListActivateDelete();
    void newFilterColumnStartsAtZero();
    void badNamesChangeNothing_data();
    void badNamesChangeNothing();
    void existingFilterAddsNothing();
    void deleteIsAllOrNothing();
    void addTag_data();
    void addTag();
    void visibilityAndDeletion();
};

static QStringList columns(const TestStation &ts)
{
    Database db = Database::openUser(ts.station->paths());
    const QSqlRecord r = Schema::tableRecord(db, "tblDictionary");
    QStringList out;
    for (int i = 0; i < r.count(); ++i)
        out << r.fieldName(i);
    return out;
}

static QStringList modalities(const TestStation &ts) { return ModalityFilters(ts.station->paths()).names(); }

void TestFilters::createListActivateDelete()
{
    TestStation ts;
    const QStringList before = columns(ts);
    ModalityFilters f(ts->paths());
    QVERIFY(f.create("MG"));
    QVERIFY(f.create("CT"));
    QCOMPARE(f.names(), (QStringList{"CT", "MG"}));
    QCOMPARE(columns(ts), before + QStringList({"MG", "CT"}));
    f.addTags("MG", {"0008,0060", "0010,0010"});
    FilterSet set = f.filterSet("MG");
    QCOMPARE(int(set.size()), 2);
    QCOMPARE(set[0], (FilterEntry{"0008,0060", "Modality"}));
    QCOMPARE(set[1], (FilterEntry{"0010,0010", "PatientName"}));
    QVERIFY(f.filterSet("CT").empty());
    QVERIFY(f.filterSet(QString()).empty());
    f.removeTags("MG", {f.tags("MG").front().index});
    QCOMPARE(int(f.filterSet("MG").size()), 1);
    f.remove("MG");
    QCOMPARE(f.names(), QStringList{"CT"});
    QCOMPARE(columns(ts), before + QStringList{"CT"});
    QVERIFY_THROWS_EXCEPTION(AppError, f.filterSet("MG"));
}

void TestFilters::newFilterColumnStartsAtZero()
{
    TestStation ts;
    ModalityFilters f(ts->paths());
    QVERIFY(f.create("MR"));
    Database db = Database::openUser(ts->paths());
    QCOMPARE(db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE \"MR\" IS NULL").toLongLong(), 0);
    const qint64 visible = db.scalar("SELECT COUNT(*) FROM tblDictionary WHERE Visible = -1").toLongLong();
    QVERIFY(visible > 1000);
    // The add-tag dialog's list: every visible tag of a new filter.
    QCOMPARE(qint64(f.candidates("MR").size()), visible);
    const QSqlField mr = Schema::tableRecord(db, "tblDictionary").field("MR");
    QVERIFY(mr.isValid());
    QCOMPARE(mr.requiredStatus(), QSqlField::Required); // NOT NULL
    QCOMPARE(mr.defaultValue().toString(), QString("0"));
}

void TestFilters::badNamesChangeNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("fixed column") << "VISIBLE";
    QTest::newRow("fixed column, lower case") << "tag";
    QTest::newRow("Index") << "INDEX";
    QTest::newRow("blank") << "a b";
    QTest::newRow("statement") << "x;DROP TABLE tblDictionary";
    QTest::newRow("umlaut") << "Ä";
    QTest::newRow("31 characters") << QString(31, 'A');
    QTest::newRow("digit first") << "2D";
    QTest::newRow("quote") << "MG\"";
    QTest::newRow("empty") << "";
}

void TestFilters::badNamesChangeNothing()
{
    QFETCH(QString, name);
    TestStation ts;
    const QStringList before = columns(ts);
    QVERIFY(!ModalityFilters::isValidName(name));
    QVERIFY(!ModalityFilters::nameProblem(name).isEmpty());
    ModalityFilters f(ts->paths());
    QVERIFY_THROWS_EXCEPTION(AppError, f.create(name));
    QVERIFY_THROWS_EXCEPTION(AppError, f.remove(name));
    if (!name.isEmpty()) // no name: no filter, an empty set
        QVERIFY_THROWS_EXCEPTION(AppError, f.filterSet(name));
    QCOMPARE(columns(ts), before);
    QVERIFY(modalities(ts).isEmpty());
    // The longest accepted name, for contrast.
    QVERIFY(ModalityFilters::isValidName(QString(30, 'A')));
    QVERIFY(ModalityFilters::isValidName("CR_2"));
}

void TestFilters::existingFilterAddsNothing()
{
    TestStation ts;
    ModalityFilters f(ts->paths());
    QVERIFY(f.create("CR"));
    f.addTags("CR", {"0008,0060"});
    const QStringList before = columns(ts);
    QVERIFY(!f.create("CR"));
    QCOMPARE(columns(ts), before);
    QCOMPARE(f.names(), QStringList{"CR"});
    QCOMPARE(int(f.filterSet("CR").size()), 1);
}

void TestFilters::deleteIsAllOrNothing()
{
    TestStation ts;
    // A name listed without its column (an older station's leftover): dropping the
    // column fails, so the name stays listed as well.
    {
        Database db = Database::openUser(ts->paths());
        db.exec("INSERT INTO tblModality (Modality) VALUES ('OLD')");
    }
    ModalityFilters f(ts->paths());
    QVERIFY_THROWS_EXCEPTION(AppError, f.remove("OLD"));
    QCOMPARE(f.names(), QStringList{"OLD"});
}

void TestFilters::addTag_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("vr");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("storedTag");
    QTest::addColumn<QString>("storedVr");
    using R = DictionaryTable::AddResult;
    QTest::newRow("padded") << "9"
                            << "10"
                            << "LO" << int(R::Added) << "0009,0010"
                            << "LO";
    QTest::newRow("lower case, blanks") << " 7fe1 "
                                        << "a"
                                        << "ob " << int(R::Added) << "7FE1,000A"
                                        << "OB";
    QTest::newRow("existing") << "8"
                              << "60"
                              << "CS" << int(R::Exists) << ""
                              << "";
    QTest::newRow("one letter VR") << "9"
                                   << "11"
                                   << "L" << int(R::BadVr) << ""
                                   << "";
    QTest::newRow("three letter VR") << "9"
                                     << "11"
                                     << "LOO" << int(R::BadVr) << ""
                                     << "";
    QTest::newRow("not hex") << "G9"
                             << "11"
                             << "LO" << int(R::BadTag) << ""
                             << "";
    QTest::newRow("five digits") << "00009"
                                 << "11"
                                 << "LO" << int(R::BadTag) << ""
                                 << "";
    QTest::newRow("empty element") << "9"
                                   << ""
                                   << "LO" << int(R::BadTag) << ""
                                   << "";
    QTest::newRow("quote") << "9'"
                           << "11"
                           << "LO" << int(R::BadTag) << ""
                           << "";
}

void TestFilters::addTag()
{
    QFETCH(QString, group);
    QFETCH(QString, element);
    QFETCH(QString, vr);
    QFETCH(int, result);
    QFETCH(QString, storedTag);
    QFETCH(QString, storedVr);
    TestStation ts;
    DictionaryTable dict(ts->paths());
    const size_t before = dict.rows().size();
    QCOMPARE(int(dict.add({group, element, "Private thing", vr, true})), result);
    const auto rows = dict.rows();
    QCOMPARE(rows.size(), before + (storedTag.isEmpty() ? 0 : 1));
    if (!storedTag.isEmpty()) {
        auto it = std::find_if(rows.begin(), rows.end(), [&](const auto &r) { return r.tag == storedTag; });
        QVERIFY(it != rows.end());
        QCOMPARE(it->type, storedVr);
        QCOMPARE(it->description, QString("Private thing"));
        QVERIFY(it->visible);
    }
}

void TestFilters::visibilityAndDeletion()
{
    TestStation ts;
    DictionaryTable dict(ts->paths());
    auto rows = dict.rows();
    QVERIFY(std::is_sorted(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.tag < b.tag; }));
    const auto first = rows[0];
    dict.setVisible({{first.index, !first.visible}});
    QCOMPARE(dict.rows()[0].visible, !first.visible);
    dict.remove(first.index);
    QCOMPARE(dict.rows().size(), rows.size() - 1);
    QVERIFY(dict.rows()[0].tag != first.tag);
}

QTEST_MAIN(TestFilters)
#include "test_filters.moc"
