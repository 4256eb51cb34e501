// Looks at the windows as the operator sees them at 1024x768: every control at least as
// large as it needs to be, no label or button text cut off, no two controls of one
// layout on top of each other. With CALVAREX_SCREENSHOT_DIR set, each window and each
// Options tab is also saved as a PNG there.
#include "TestStation.h"
#include "app/MainForm.h"
#include "app/OptionsPages.h"
#include "core/Database.h"
#include "dialogs/OptionForm.h"
#include "dose/DoseList.h"
#include "net/WorklistEntry.h"
#include "store/Quarantine.h"
#include "store/QuarantineForm.h"

#include <QHeaderView>
#include <QStyle>
#include <QTreeWidget>

#include "store/ViewerWidget.h"
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QTabWidget>
#include <QtTest>

class TestScreens : public QObject {
    Q_OBJECT
private slots:
    void mainWindowFitsAt1024x768();
    void doseValuesSeenWithoutScrolling_data();
    void doseValuesSeenWithoutScrolling();
    void keptApartListFits();
    void optionTabsFit_data();
    void optionTabsFit();
};

static void save(QWidget &w, const QString &name)
{
    const QString dir = qEnvironmentVariable("CALVAREX_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        w.grab().save(dir + "/" + name + ".png");
}

// Problems of the visible controls below top, as text (empty when all is well).
static QStringList layoutProblems(QWidget *top)
{
    QStringList out;
    const auto widgets = top->findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        if (!w->isVisibleTo(top) || w->isWindow() || w->objectName().startsWith("qt_"))
            continue;
        const QSize min = w->minimumSizeHint();
        if (w->parentWidget() && w->parentWidget()->layout() && min.isValid()
            && (w->width() < min.width() - 1 || w->height() < min.height() - 1)
            && !qobject_cast<QAbstractScrollArea *>(w))
            out << QString("%1 (%2) is %3x%4, needs %5x%6")
                       .arg(w->objectName(), w->metaObject()->className())
                       .arg(w->width())
                       .arg(w->height())
                       .arg(min.width())
                       .arg(min.height());
        QString text;
        if (auto *l = qobject_cast<QLabel *>(w); l && !l->wordWrap() && !l->text().contains('\n'))
            text = l->text();
        if (auto *b = qobject_cast<QAbstractButton *>(w); b && !b->text().isEmpty())
            text = b->text();
        if (!text.isEmpty()) {
            const int need = w->fontMetrics().horizontalAdvance(QString(text).remove('&'));
            if (need > w->contentsRect().width())
                out << QString("text '%1' cut off: %2 of %3 px").arg(text).arg(w->contentsRect().width()).arg(need);
        }
    }
    // Siblings managed by one layout must not overlap.
    QList<QWidget *> parents = top->findChildren<QWidget *>();
    parents << top;
    for (QWidget *parent : parents) {
        if (!parent->layout() || !parent->isVisibleTo(top))
            continue;
        QList<QWidget *> kids;
        for (int i = 0; i < parent->layout()->count(); ++i)
            if (QWidget *k = parent->layout()->itemAt(i)->widget(); k && k->isVisibleTo(top))
                kids << k;
        for (int i = 0; i < kids.size(); ++i)
            for (int j = i + 1; j < kids.size(); ++j)
                if (kids[i]->geometry().intersects(kids[j]->geometry()))
                    out << QString("%1 overlaps %2").arg(kids[i]->objectName(), kids[j]->objectName());
    }
    return out;
}

void TestScreens::mainWindowFitsAt1024x768()
{
    TestStation ts;
    MainForm form(*ts);
    form.hooks().startCompanions.clear(); // no companion processes from this test
    form.formLoad();
    form.resize(1024, 740);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(50);
    const QStringList problems = layoutProblems(&form);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("\n")));
    // The viewer takes the space that is left, and is the largest control.
    QVERIFY(form.findChild<QWidget *>("dv1")->width() >= 380);
    QVERIFY(form.findChild<QWidget *>("dv1")->height() >= 500);
    save(form, "main_1024x768");
    form.resize(1600, 1000);
    QTest::qWait(50);
    QVERIFY(form.findChild<QWidget *>("dv1")->width() >= 900); // a larger screen goes to the images
    save(form, "main_1600x1000");
    form.exitProgram();
}

void TestScreens::doseValuesSeenWithoutScrolling_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<int>("unit");
    QTest::newRow("1024x768 HFE 501") << QSize(1024, 740) << int(XrayUnit::Hfe501);
    QTest::newRow("1024x768 Giotto") << QSize(1024, 740) << int(XrayUnit::Giotto);
    QTest::newRow("1280x1024 HFE 501") << QSize(1280, 1000) << int(XrayUnit::Hfe501);
}

void TestScreens::doseValuesSeenWithoutScrolling()
{
    QFETCH(QSize, screen);
    QFETCH(int, unit);
    TestStation ts;
    ts->settings().xrayComm = qint16(unit);
    ts->settings().comDevice = "/nonexistent/tty";
    ts->saveSettings();
    MainForm form(*ts);
    form.hooks().startCompanions.clear();
    form.formLoad();
    form.resize(screen);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    {
        Database db = Database::openData(ts->paths());
        for (int i = 1; i <= 4; ++i)
            db.exec(
                "INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, \"Date\","
                " \"Time\", Status, Bodypart, ImgNo, WorklistPatID) VALUES ('Siobhan', 'O\u00B4Brien', '1968-04-12', "
                "?, '28',"
                " '177', '1380', '2026-12-09', '16:16:59', '0', 'BREAST', ?, 'DEMO001')",
                {QString::number(10.05 + i, 'f', 2), i});
    }
    WorklistEntry e;
    e.columns[WorklistEntry::PatientId] = "DEMO001";
    e.columns[WorklistEntry::GivenName] = "Siobhan";
    e.columns[WorklistEntry::FamilyName] = QString::fromUtf8("O\u00B4Brien");
    e.columns[WorklistEntry::BirthDate] = "1968-04-12";
    form.doseState().takeWorklistPatient(e);
    form.doseState().notifyRecordsStored();
    QTest::qWait(50);
    auto *lv = form.findChild<QTreeWidget *>("lvDosis");
    QCOMPARE(lv->topLevelItemCount(), 4);
    const int width = lv->viewport()->width();
    QStringList sizes;
    for (int v = 0; v < 6; ++v)
        sizes << QString::number(lv->header()->sectionSize(lv->header()->logicalIndex(v)));
    for (int c : {DoseList::ColId, DoseList::ColImageNo, DoseList::ColDap, DoseList::ColKv, DoseList::ColMas,
                  DoseList::ColExpTime}) {
        const QString heading = lv->headerItem()->text(c);
        const int left = lv->header()->sectionViewportPosition(c);
        const int size = lv->header()->sectionSize(c);
        QVERIFY2(left >= 0 && left + size <= width, qPrintable(QString("%1 at %2..%3 of %4 (%5)")
                                                                   .arg(heading)
                                                                   .arg(left)
                                                                   .arg(left + size)
                                                                   .arg(width)
                                                                   .arg(sizes.join(' '))));
        // Neither the heading nor a value is cut short.
        const int need = lv->header()->fontMetrics().horizontalAdvance(heading)
                         + 2 * lv->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, lv->header());
        QVERIFY2(size >= need, qPrintable(QString("%1: %2 px of %3").arg(heading).arg(size).arg(need)));
        for (int r = 0; r < lv->topLevelItemCount(); ++r)
            QVERIFY2(size >= lv->fontMetrics().horizontalAdvance(lv->topLevelItem(r)->text(c)), qPrintable(heading));
    }
    save(form, QString("dose_list_%1x%2_unit%3").arg(screen.width()).arg(screen.height()).arg(unit));
    form.exitProgram();
}

void TestScreens::keptApartListFits()
{
    TestStation ts;
    QuarantinedObject clash;
    clash.clash = true;
    clash.level = "Study";
    clash.uid = "1.2.826.0.1.3680043.2.1143.77.1";
    clash.sopUid = "1.2.826.0.1.3680043.2.1143.77.1.1.1";
    clash.storedPatientId = "A100";
    clash.storedPatientName = "ALPHA^ANNA";
    clash.newPatientId = "B200";
    clash.newPatientName = "BETA^BEN";
    clash.reason =
        "Study Instance UID 1.2.826.0.1.3680043.2.1143.77.1 is stored for patient A100 (ALPHA^ANNA); this object "
        "1.2.826.0.1.3680043.2.1143.77.1.1.1 is of patient B200 (BETA^BEN)";
    QuarantinedObject junk;
    junk.reason = "not a DICOM file (no DICM prefix)";
    for (const auto &[name, what] : {std::pair{QString("clash.dcm"), clash}, std::pair{QString("junk.bin"), junk}}) {
        const QString f = ts->paths().tempDir() + "/" + name;
        QFile file(f);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        QString error;
        QVERIFY2(!Quarantine::keepApart(ts->paths(), f, what, &error).isEmpty(), qPrintable(error));
    }
    QuarantineForm form(*ts);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.list()->topLevelItemCount(), 2);
    form.list()->setCurrentItem(form.list()->topLevelItem(0));
    QVERIFY(form.width() <= 1024 && form.height() <= 768);
    const QStringList problems = layoutProblems(&form);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("\n")));
    save(form, "kept_apart");

    // The main window says how many there are, in its status bar.
    MainForm main(*ts);
    main.hooks().startCompanions.clear();
    main.formLoad();
    main.resize(1024, 740);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    auto *note = main.findChild<QLabel *>("lblQuarantine");
    QVERIFY(note && note->isVisible());
    QVERIFY(note->text().contains("2 objects kept apart"));
    save(main, "main_kept_apart");
    main.exitProgram();
}

void TestScreens::optionTabsFit_data()
{
    QTest::addColumn<int>("tab");
    for (int i = 0; i < 5; ++i)
        QTest::newRow(qPrintable(QString("tab %1").arg(i))) << i;
}

void TestScreens::optionTabsFit()
{
    QFETCH(int, tab);
    TestStation ts;
    OptionForm f(*ts, stationOptionsPages());
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    f.tabs()->setCurrentIndex(tab);
    QTest::qWait(50);
    QVERIFY(f.width() <= 1024 && f.height() <= 768);
    const QStringList problems = layoutProblems(&f);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("\n")));
    save(f, QString("options_%1_%2").arg(tab).arg(f.tabs()->tabText(tab).replace(' ', '_')));
}

QTEST_MAIN(TestScreens)
#include "test_screens.moc"
