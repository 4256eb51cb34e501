// The store browser and viewer on a real store: rows in a real SQLite file, real DICOM
// files (generated mammograms and pydicom's real-world files), real widgets.
#include "BrowserHarness.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/AppError.h"
#include "core/Database.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>
#include <thread>

namespace {

QStringList column(QTreeWidget *lv, int col)
{
    QStringList out;
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        out << lv->topLevelItem(i)->text(col);
    return out;
}

QTreeWidgetItem *findPatient(QTreeWidget *lv, const QString &patId1)
{
    for (int i = 0; i < lv->topLevelItemCount(); ++i)
        if (lv->topLevelItem(i)->text(0) == patId1)
            return lv->topLevelItem(i);
    return nullptr;
}

void clickItem(QTreeWidget *lv, QTreeWidgetItem *item, Qt::MouseButton button = Qt::LeftButton)
{
    lv->scrollToItem(item);
    const QRect r = lv->visualItemRect(item);
    const QPoint p(r.left() + 12, r.center().y()); // the first column is always on screen
    QTest::mouseClick(lv->viewport(), button, {}, p);
    QCoreApplication::processEvents(); // the mouse-up handling runs after the click
}

qint64 rowCount(Station &s, const QString &table)
{
    Database db = Database::openData(s.paths());
    return db.scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table).toLongLong();
}

QString errorLog(Station &s)
{
    QFile f(s.paths().logsDir() + QStringLiteral("/Error.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

// The update timer's tick, through its own signal.
void tick(BrowserHarness::Controls &w)
{
    QVERIFY(QMetaObject::invokeMethod(w.UpdateTimer, "timeout", Qt::DirectConnection));
}

int messagesWith(const ScriptedPrompter &p, const QString &text)
{
    int n = 0;
    for (const auto &s : p.shown)
        n += s.text == text ? 1 : 0;
    return n;
}

} // namespace

class TestBrowser : public QObject {
    Q_OBJECT

    // A station, a harness and a fixture for one test.
    struct Env {
        explicit Env(StudyLoader::RenderFn render = {}) : h(*ts, std::move(render)), fx(*ts)
        {
            h.window.show();
            h.load();
        }
        TestStation ts;
        BrowserHarness h;
        StoreFixture fx;
        BrowserPanel &area() { return *h.area; }
        BrowserHarness::Controls &w() { return h.w; }

        // Picks the patient with the left button and the study by a click, and waits
        // for the load.
        bool pickPatientAndStudy(const QString &patId1, int studyRow = 0)
        {
            h.area->refreshPatientList();
            QTreeWidgetItem *p = findPatient(w().lvPatients, patId1);
            if (!p)
                return false;
            clickItem(w().lvPatients, p);
            if (w().lvStudien->topLevelItemCount() <= studyRow)
                return false;
            return clickStudyAndWait(w().lvStudien->topLevelItem(studyRow));
        }
        bool clickStudyAndWait(QTreeWidgetItem *study)
        {
            QSignalSpy done(h.area.get(), &BrowserPanel::loadFinished);
            clickItem(w().lvStudien, study);
            return waitLoad(done);
        }
        bool waitLoad(QSignalSpy &done)
        {
            if (!done.isEmpty() || !h.area->isLoading())
                return true;
            return done.wait(60000);
        }
    };

private slots:
    void patientListShowsNamesAsStored_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("birth");
        QTest::addColumn<QString>("shownName");
        QTest::newRow("full name") << "Doe" << "Jane" << "Ann" << "1965-04-12" << "Doe, Jane";
        QTest::newRow("no first name") << "Doe" << QString() << QString() << QString() << "Doe";
        QTest::newRow("empty first name") << "Doe" << "" << "" << "1970-01-01" << "Doe";
        QTest::newRow("apostrophe") << "O'Neil" << "Mary" << QString() << "1950-02-03" << "O'Neil, Mary";
        QTest::newRow("no last name") << QString() << "Eva" << QString() << QString() << "";
    }
    void patientListShowsNamesAsStored()
    {
        QFETCH(QString, last);
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, birth);
        QFETCH(QString, shownName);
        Env e;
        const qint64 patId = e.fx.addPatient(QStringLiteral("P-1"), last, first, second, birth);
        e.area().refreshPatientList();
        QTreeWidget *lv = e.w().lvPatients;
        QCOMPARE(lv->topLevelItemCount(), 1);
        QTreeWidgetItem *it = lv->topLevelItem(0);
        QCOMPARE(it->text(0), QStringLiteral("P-1"));
        QCOMPARE(it->text(1), shownName);
        QCOMPARE(it->text(2), second.isNull() ? QString() : second);
        QCOMPARE(it->text(3), birth.isNull() ? QString() : birth);
        QCOMPARE(it->data(0, BrowserPanel::TagRole).toLongLong(), patId);
        QCOMPARE(lv->headerItem()->text(1), QStringLiteral("Lastname, Firstname"));
    }

    void timerTickRefreshesOnlyWhenAnnounced()
    {
        Env e;
        e.fx.addPatient(QStringLiteral("A1"), QStringLiteral("Alpha"));
        e.area().refreshPatientList();
        QTreeWidget *lv = e.w().lvPatients;
        QCOMPARE(lv->topLevelItemCount(), 1);
        lv->setCurrentItem(lv->topLevelItem(0));

        // A new patient without an announcement: the tick leaves list and selection.
        e.fx.addPatient(QStringLiteral("B2"), QStringLiteral("Beta"));
        tick(e.w());
        QCOMPARE(lv->topLevelItemCount(), 1);
        QVERIFY(lv->topLevelItem(0)->isSelected());
        QVERIFY(!e.ts->timerRefresh);

        // With one row in tblReceive the tick rebuilds the list and consumes the rows.
        e.fx.addReceive();
        tick(e.w());
        QCOMPARE(column(lv, 0), (QStringList{QStringLiteral("A1"), QStringLiteral("B2")}));
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblReceive")), 0);

        // A manual refresh rebuilds even with tblReceive empty.
        e.fx.addPatient(QStringLiteral("C3"), QStringLiteral("Gamma"));
        QVERIFY(e.w().commands->run(QStringLiteral("mnuRefreshList")));
        QCOMPARE(lv->topLevelItemCount(), 3);
    }

    void tickDuringLoadDoesNotSwallowTheNextManualRefresh()
    {
        Env e;
        e.fx.addPatient(QStringLiteral("A1"), QStringLiteral("Alpha"));
        e.area().refreshPatientList();
        e.ts->busy = true;
        tick(e.w()); // returns at once
        e.ts->busy = false;
        e.fx.addPatient(QStringLiteral("B2"), QStringLiteral("Beta"));
        e.w().commands->run(QStringLiteral("mnuRefreshList"));
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 2);
    }

    void patientPickListsStudiesAndStopsTimer()
    {
        Env e;
        QSignalSpy picked(&e.h.selection, &StoreSelection::patientPicked);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
        e.fx.addStudy(pat, e.fx.newUid(), QStringLiteral("2026-03-02"), QStringLiteral("09:15:00"));
        e.fx.addStudy(pat, e.fx.newUid(), QStringLiteral("2026-03-05"), QStringLiteral("10:00:00"));
        const qint64 other = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        e.fx.addStudy(other, e.fx.newUid());
        e.area().refreshPatientList();
        e.w().UpdateTimer->start();

        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 2);
        QCOMPARE(column(e.w().lvStudien, 1), (QStringList{QStringLiteral("2026-03-02"), QStringLiteral("2026-03-05")}));
        QCOMPARE(column(e.w().lvStudien, 3), (QStringList{QStringLiteral("MG"), QStringLiteral("MG")}));
        QVERIFY(!e.w().UpdateTimer->isActive());
        QCOMPARE(e.w().statusPanel[0]->text(), QStringLiteral("Patient: Doe, Jane"));
        QCOMPARE(e.w().statusPanel[1]->text(), QStringLiteral("ID: P1"));
        QCOMPARE(e.area().state().patId1, QStringLiteral("P1"));
        QCOMPARE(picked.count(), 1); // the dose panel follows the pick
        QCOMPARE(e.h.selection.storePatient().displayName, QStringLiteral("Doe, Jane"));
    }

    void studyPickFillsViewerWithMammogramsAndRealFiles()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
        auto made = e.fx.addStudyWithImages(pat, 4, QSize(416, 512));
        // pydicom's real-world files in a second series of the same study.
        const qint64 series2 = e.fx.addSeries(made.studyId, e.fx.newUid(), 2);
        QStringList real;
        int nr = 1;
        for (const char *f : {"CT_small.dcm", "MR_small_implicit.dcm", "ExplVR_BigEnd.dcm", "JPEG-lossy.dcm",
                              "SC_rgb_rle.dcm", "SC_rgb_jpeg_dcmtk.dcm"}) {
            const QString path = pydicomTestFiles() + QLatin1Char('/') + QString::fromLatin1(f);
            if (QFile::exists(path))
                real << e.fx.addRealFile(series2, made.studyUid, path, nr++);
        }
        QVERIFY2(!real.isEmpty(), "pydicom's test files are missing");

        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        const int total = 4 + int(real.size());
        QCOMPARE(v->count(), total);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), total);
        QCOMPARE(e.w().statusPanel[2]->text(), QStringLiteral("%1 image(s)").arg(total));
        QVERIFY(!e.w().pbLoad->isVisible());
        QVERIFY(!e.ts->busy);
        QCOMPARE(e.area().state().loadLevel, QStringLiteral("Studie"));
        QVERIFY(e.ts.prompter.shown.isEmpty());

        // Series by key, then image number: the mammograms first, then the real files.
        QStringList shown;
        for (int n = 1; n <= v->count(); ++n) {
            shown << v->image(n).sopInstanceUid;
            // Pictures at about cell size, never the stored full size, aspect kept.
            const ViewerImage &img = v->image(n);
            QVERIFY(!img.image.isNull());
            QVERIFY(img.image.width() <= 2048 && img.image.height() <= 2048);
            const double stored = double(img.fullSize.width()) / img.fullSize.height();
            const double drawn = double(img.image.width()) / img.image.height();
            QVERIFY2(qAbs(stored - drawn) < 0.05, qPrintable(img.sopInstanceUid));
        }
        QCOMPARE(shown, made.sopUids + real);
        QCOMPARE(v->image(1).fullSize, QSize(416, 512));
    }

    void viewerDrawsImagesAndFramesThePickedOne()
    {
        Env e;
        e.ts->settings().viewerRows = 2;
        e.ts->settings().viewerColumns = 2;
        e.ts->settings().viewerBgColor = 0x00000000;
        e.ts->settings().viewerFgColor = 0x0000FFFF; // yellow as 0x00BBGGRR
        MainHooks::run(e.h.hooks.settingsChanged);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        auto made = e.fx.addStudyWithImages(pat, 3, QSize(332, 410));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;

        // Click on the second cell: framed, status panel, matching lvImages row.
        const QRect cell2 = v->cellRect(2);
        QTest::mouseClick(v, Qt::LeftButton, {}, cell2.center());
        QCOMPARE(v->framedImage(), 2);
        QCOMPARE(e.w().statusPanel[3]->text(), QStringLiteral("Sel. image #: 2"));
        QVERIFY(e.w().lvImages->currentItem());
        QCOMPARE(e.w().lvImages->currentItem()->text(3), made.sopUids.at(1));

        const QImage shot = v->grab().toImage();
        // The frame runs along the cell's border in the foreground colour.
        const QPoint onFrame(cell2.center().x(), cell2.top() + 1);
        QCOMPARE(QColor(shot.pixel(onFrame)), QColor(255, 255, 0));
        // The mammogram's tissue is drawn inside the cell: bright and dark pixels both.
        int bright = 0;
        for (int y = cell2.top() + 5; y < cell2.bottom() - 5; y += 3)
            for (int x = cell2.left() + 5; x < cell2.right() - 5; x += 3)
                bright += qGray(shot.pixel(x, y)) > 60 ? 1 : 0;
        QVERIFY2(bright > 50, "the image is not drawn");
        // The empty fourth cell stays background.
        const QRect cell4 = v->cellRect(4);
        QCOMPARE(QColor(shot.pixel(cell4.center())), QColor(0, 0, 0));

        // A click on an lvImages row frames the same image in the viewer.
        QTreeWidgetItem *row = nullptr;
        for (int i = 0; i < e.w().lvImages->topLevelItemCount(); ++i)
            if (e.w().lvImages->topLevelItem(i)->text(3) == made.sopUids.at(2))
                row = e.w().lvImages->topLevelItem(i);
        QVERIFY(row);
        clickItem(e.w().lvImages, row);
        QCOMPARE(v->framedImage(), 3);
        QCOMPARE(e.w().statusPanel[3]->text(), QStringLiteral("Sel. image #: 3"));
        QCOMPARE(e.area().currentImageFile(), made.files.at(2));
    }

    void scrollBarByImageCount_data()
    {
        QTest::addColumn<int>("images");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("maximum");
        QTest::newRow("20 images") << 20 << false << 0;
        QTest::newRow("21 images") << 21 << true << 0;
        QTest::newRow("22 images") << 22 << true << 1;
    }
    void scrollBarByImageCount()
    {
        QFETCH(int, images);
        QFETCH(bool, enabled);
        QFETCH(int, maximum);
        Env e; // 7 rows x 3 columns by default: 21 per page
        QCOMPARE(e.w().dv1->imagesPerPage(), 21);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, images);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(e.w().dv1->count(), images);
        QCOMPARE(e.w().dv1_vscroll->isEnabled(), enabled);
        if (enabled)
            QCOMPARE(e.w().dv1_vscroll->maximum(), maximum);

        if (images == 22) {
            // Scrolling one step shows from the second row on.
            e.w().dv1_vscroll->setValue(1);
            QCOMPARE(e.w().dv1->firstImage(), 4);
            // Keys: Down by one, Right to the last page, Page Up back to the start.
            e.w().dv1_vscroll->setValue(0);
            QTest::keyClick(e.w().dv1, Qt::Key_Down);
            QCOMPARE(e.w().dv1->firstImage(), 2);
            QTest::keyClick(e.w().dv1, Qt::Key_Down); // the last image is shown now
            QCOMPARE(e.w().dv1->firstImage(), 2);
            QTest::keyClick(e.w().dv1, Qt::Key_Left);
            QCOMPARE(e.w().dv1->firstImage(), 1);
        }
    }

    void pageUpFromFiveShowsFromOne()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 30);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        v->setFirstImage(5);
        QTest::keyClick(v, Qt::Key_PageUp);
        QCOMPARE(v->firstImage(), 1);
        QTest::keyClick(v, Qt::Key_PageDown);
        QCOMPARE(v->firstImage(), 22);
        QTest::keyClick(v, Qt::Key_PageDown); // 43 is beyond 30 images
        QCOMPARE(v->firstImage(), 22);
        QTest::keyClick(v, Qt::Key_Right);
        QCOMPARE(v->firstImage(), 10);
        // The scroll bar follows the keys to the row shown.
        QCOMPARE(e.w().dv1_vscroll->value(), 3);
    }

    void studyWithMissingFilesReportsOnce()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        auto made = e.fx.addStudyWithImages(pat, 5);
        for (const QString &f : made.files)
            QVERIFY(QFile::remove(f));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(messagesWith(e.ts.prompter, QStringLiteral("An error occured during loading - please retry!")), 1);
        QCOMPARE(e.ts.prompter.shown.last().icon, MsgIcon::Critical);
        QCOMPARE(e.w().dv1->count(), 0);
        QVERIFY(!e.w().dv1_vscroll->isEnabled());
        QVERIFY(!e.ts->busy);
        QVERIFY(!e.w().pbLoad->isVisible());
        QVERIFY(errorLog(*e.ts).contains(QStringLiteral("MainForm LoadStudy (READ_ERROR)")));
        // The image list still lists the rows.
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 5);
    }

    void loadStopsAtTheFirstMissingFileAndKeepsWhatItRead()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        auto made = e.fx.addStudyWithImages(pat, 6);
        QVERIFY(QFile::remove(made.files.at(3)));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(messagesWith(e.ts.prompter, QStringLiteral("An error occured during loading - please retry!")), 1);
        // Everything before the missing file is there, nothing has an empty place.
        QVERIFY(e.w().dv1->count() >= 3 && e.w().dv1->count() <= 5);
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(e.w().dv1->image(n).sopInstanceUid, made.sopUids.at(n - 1));
        for (int n = 1; n <= e.w().dv1->count(); ++n)
            QVERIFY(e.w().dv1->image(n).loaded());
    }

    void studyWithoutImagesSaysSoAndTimerStillRefreshes()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const qint64 study = e.fx.addStudy(pat, e.fx.newUid());
        e.fx.addSeries(study, e.fx.newUid(), 1); // a series without images
        e.fx.addStudy(pat, e.fx.newUid());       // and a study without series
        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 2);
        for (int i = 0; i < 2; ++i) {
            e.ts.prompter.clear();
            clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(i));
            QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("No images found!")});
            QCOMPARE(e.ts.prompter.shown.last().icon, MsgIcon::Critical);
            QCOMPARE(e.w().dv1->count(), 0);
            QVERIFY(!e.ts->busy);
        }
        // The next tick with an announcement rebuilds the list again.
        e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        e.fx.addReceive();
        tick(e.w());
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 2);
    }

    void noToCancelChangesKeepsEverything()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 3);
        const qint64 p2 = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        e.fx.addStudyWithImages(p2, 2);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie"), QStringLiteral("0010,0010")});

        // No: tasks, viewer, study list and current patient stay.
        e.ts.prompter.yesNo = {false};
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P2")));
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 1);
        QCOMPARE(e.w().dv1->count(), 3);
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 1);
        QCOMPARE(e.area().state().patId1, QStringLiteral("P1"));
        QCOMPARE(e.w().lvPatients->currentItem()->text(0), QStringLiteral("P1"));

        // No on a study and on its right-button menu: nothing loads, no menu.
        e.ts.prompter.yesNo = {false};
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0), Qt::RightButton);
        QVERIFY(!e.w().commands->menu(QStringLiteral("PopUpStudie"))->isVisible());
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 1);

        // Yes: the tasks go and the other patient is taken.
        e.ts.prompter.clear();
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P2")));
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.w().dv1->count(), 0);
        QCOMPARE(e.area().state().patId1, QStringLiteral("P2"));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 1);

        // Without tasks nobody is asked.
        e.ts.prompter.clear();
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        QVERIFY(e.ts.prompter.shown.isEmpty());
    }

    void doseRowClickMarksThePickedImageRow()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 3);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 3);
        QCOMPARE(e.h.selection.listedImages, 3);
        e.w().lvImages->setCurrentItem(e.w().lvImages->topLevelItem(1));

        e.h.selection.markPickedImageRow();
        for (int i = 0; i < 3; ++i) {
            QTreeWidgetItem *img = e.w().lvImages->topLevelItem(i);
            QCOMPARE(img->font(0).bold(), i == 1);
            QCOMPARE(img->foreground(3).color(), i == 1 ? QColor(Qt::red) : QColor(Qt::black));
        }
    }

    void yesOnTheSamePatientDiscardsPendingTasks()
    {
        Env e;
        e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie")});
        QCOMPARE(e.h.edits.pendingTasks(), 1);

        e.ts.prompter.clear();
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.h.edits.pendingTasks(), 0);
        QCOMPARE(e.area().state().patId1, QStringLiteral("P1"));
    }

    void loadRecreatesAMissingDataDatabase()
    {
        TestStation ts(false); // no database files at all
        BrowserHarness h(*ts);
        h.load();
        QVERIFY(QFile::exists(ts->paths().dataDb()));
        QVERIFY(QFile::exists(ts->paths().templateDb()));
        QCOMPARE(h.w.lvPatients->topLevelItemCount(), 0);
        QVERIFY(h.w.UpdateTimer->isActive());
        QCOMPARE(h.w.UpdateTimer->interval(), 10000);
        // The deleted data database comes back from the template on the next load.
        QVERIFY(QFile::remove(ts->paths().dataDb()));
        h.load();
        QVERIFY(QFile::exists(ts->paths().dataDb()));
        QCOMPARE(rowCount(*ts, QStringLiteral("tblPatienten")), 0);
    }

    void rightButtonMenusAfterYes()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 2, QSize(), 2);
        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0), Qt::RightButton);
        QMenu *patientMenu = e.w().commands->menu(QStringLiteral("PopUpPatient"));
        QVERIFY(patientMenu->isVisible());
        patientMenu->hide();
        QCOMPARE(e.w().statusPanel[1]->text(), QStringLiteral("ID: P1"));

        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie")});
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0), Qt::RightButton);
        QMenu *studyMenu = e.w().commands->menu(QStringLiteral("PopUpStudie"));
        QVERIFY(studyMenu->isVisible());
        studyMenu->hide();
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});

        // The series list: no menu on the back entry, the menu on a series.
        QVERIFY(e.w().commands->run(QStringLiteral("PopUpStudie_ViewSeries")));
        QListWidget *ls = e.w().lvSerien;
        QMenu *seriesMenu = e.w().commands->menu(QStringLiteral("PopUpSerie"));
        ls->setCurrentRow(0);
        QTest::mouseClick(ls->viewport(), Qt::RightButton, {}, ls->visualItemRect(ls->item(0)).center());
        QCoreApplication::processEvents();
        QVERIFY(!seriesMenu->isVisible());
        ls->setCurrentRow(1);
        QTest::mouseClick(ls->viewport(), Qt::RightButton, {}, ls->visualItemRect(ls->item(1)).center());
        QCoreApplication::processEvents();
        QVERIFY(seriesMenu->isVisible());
        seriesMenu->hide();
    }

    void seriesWindowLoadsOneSeriesAndGoesBack()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        auto made = e.fx.addStudyWithImages(pat, 5, QSize(), 2); // series 1: 3 images, series 2: 2
        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        e.w().lvStudien->setCurrentItem(e.w().lvStudien->topLevelItem(0));
        QVERIFY(e.w().commands->run(QStringLiteral("PopUpStudie_ViewSeries")));
        QListWidget *ls = e.w().lvSerien;
        QVERIFY(e.w().frmSerien->isVisible());
        QCOMPARE(ls->count(), 3);
        QCOMPARE(ls->item(0)->text(), QStringLiteral(".."));
        QCOMPARE(ls->item(1)->text(), QStringLiteral("# 1"));
        QCOMPARE(ls->item(2)->text(), QStringLiteral("# 2"));

        QSignalSpy done(e.h.area.get(), &BrowserPanel::loadFinished);
        ls->setCurrentRow(2);
        const QPoint at = ls->visualItemRect(ls->item(2)).center();
        QTest::mousePress(ls->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(ls->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(ls->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(e.waitLoad(done));
        QCOMPARE(e.area().state().loadLevel, QStringLiteral("Serie"));
        QCOMPARE(e.w().dv1->count(), 2);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 2);
        QCOMPARE(e.w().dv1->image(1).sopInstanceUid, made.sopUids.at(3));
        QCOMPARE(e.area().state().seriesCount, 3);

        // The back entry closes the window again.
        ls->setCurrentRow(0);
        QVERIFY(e.w().commands->run(QStringLiteral("PopUpSerie_ViewImages")));
        QVERIFY(!e.w().frmSerien->isVisible());
        QCOMPARE(ls->count(), 0);
    }

    void uidsFromTheDatabaseNeverLeaveTheStore()
    {
        Env e;
        // A file outside the store that a crafted UID would reach.
        const QString outside = e.ts.root() + QStringLiteral("/secret.dcm");
        StoreFixture::writeSmallImage(outside, QStringLiteral("1.2.3"), QStringLiteral("1.2.4"), QStringLiteral("1.2.5"), 1);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const qint64 bad = e.fx.addStudy(pat, QStringLiteral(".."));
        e.fx.addImage(e.fx.addSeries(bad, e.fx.newUid(), 1), QStringLiteral("secret"), 1);
        const QString goodStudy = e.fx.newUid();
        const qint64 good = e.fx.addStudy(pat, goodStudy);
        e.fx.addImage(e.fx.addSeries(good, e.fx.newUid(), 1), QStringLiteral("../../secret"), 1);

        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        for (int i = 0; i < 2; ++i) {
            e.ts.prompter.clear();
            QVERIFY(e.clickStudyAndWait(e.w().lvStudien->topLevelItem(i)));
            QCOMPARE(e.ts.prompter.texts_shown(),
                     QStringList{QStringLiteral("An error occured during loading - please retry!")});
            QCOMPARE(e.w().dv1->count(), 0);
            QVERIFY(!e.ts->busy);
        }
        QVERIFY(errorLog(*e.ts).contains(QStringLiteral("Not a valid")));
        QVERIFY(QFile::exists(outside));
    }

    void keysAreSixtyFourBit()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const QString studyUid = e.fx.newUid();
        const qint64 series = e.fx.addSeries(e.fx.addStudy(pat, studyUid), e.fx.newUid(), 1);
        const QString uid = e.fx.newUid();
        StoreFixture::writeSmallImage(e.fx.imageFile(studyUid, uid), studyUid, e.fx.newUid(), uid, 1);
        {
            Database db = Database::openData(e.ts->paths());
            db.exec(QStringLiteral("INSERT INTO tblImages (ImageID, ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) "
                                   "VALUES (?, ?, 1, ?, '2026-03-02', '09:00:00')"),
                    {qint64(5000000123), uid, series});
        }
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(e.w().lvImages->topLevelItem(0)->text(0), QStringLiteral("5000000123"));
        QCOMPARE(e.w().lvImages->topLevelItem(0)->data(0, BrowserPanel::TagRole).toLongLong(), qint64(5000000123));
        QCOMPARE(e.w().dv1->count(), 1);
    }

    void pickingMatchesTheExactImageRow()
    {
        // One UID is the start of the other: picking the second must not select the first.
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const QString studyUid = e.fx.newUid();
        const QString seriesUid = e.fx.newUid();
        const qint64 series = e.fx.addSeries(e.fx.addStudy(pat, studyUid), seriesUid, 1);
        const QString base = e.fx.newUid();
        const QStringList uids = {base + QStringLiteral(".1"), base + QStringLiteral(".11")};
        for (int i = 0; i < 2; ++i) {
            StoreFixture::writeSmallImage(e.fx.imageFile(studyUid, uids[i]), studyUid, seriesUid, uids[i], i + 1);
            e.fx.addImage(series, uids[i], i + 1);
        }
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        e.area().pickImage(2);
        QCOMPARE(e.w().lvImages->currentItem()->text(3), uids[1]);
        e.area().pickImage(1);
        QCOMPARE(e.w().lvImages->currentItem()->text(3), uids[0]);
    }

    void viewerStaysResponsiveWhileLoading()
    {
        // A slow renderer: the load runs beside the event loop and pictures arrive one
        // by one.
        Env e([](const QString &path, const QSize &size) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            return StudyLoader::defaultRender()(path, size);
        });
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 8);
        e.area().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        QSignalSpy done(e.h.area.get(), &BrowserPanel::loadFinished);
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0));
        QVERIFY(e.area().isLoading());
        QVERIFY(e.ts->busy);
        QVERIFY(e.w().pbLoad->isVisible());
        QCOMPARE(e.w().pbLoad->maximum(), 8);
        QCOMPARE(e.w().dv1->count(), 8); // places reserved, filled as they come
        QVERIFY(e.w().dv1->loadedCount() < 8);
        // A timer refresh during the load returns at once.
        e.fx.addReceive();
        tick(e.w());
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblReceive")), 1);
        QTRY_VERIFY(e.w().dv1->loadedCount() > 0);
        QVERIFY(done.wait(30000));
        QCOMPARE(e.w().dv1->loadedCount(), 8);
        QCOMPARE(e.w().pbLoad->value(), 8);
        QVERIFY(!e.ts->busy);
    }

    void viewerMenuRotatesAndMirrors()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 3);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        CommandTable *c = e.w().commands;
        // Nothing picked: the single-image items do nothing.
        QVERIFY(c->run(QStringLiteral("PopUpViewer_RotateRight")));
        QCOMPARE(v->image(1).rotation, 0);
        e.area().pickImage(2);
        c->run(QStringLiteral("PopUpViewer_RotateRight"));
        c->run(QStringLiteral("PopUpViewer_RotateRight"));
        c->run(QStringLiteral("PopUpViewer_MirrorH"));
        QCOMPARE(v->image(2).rotation, 180);
        QVERIFY(v->image(2).mirrorH);
        QCOMPARE(v->image(1).rotation, 0);
        c->run(QStringLiteral("PopUpViewer_AllRotateLeft"));
        c->run(QStringLiteral("PopUpViewer_AllMirrorV"));
        QCOMPARE(v->image(1).rotation, 270);
        QCOMPARE(v->image(2).rotation, 90);
        QVERIFY(v->image(3).mirrorV);
        c->run(QStringLiteral("PopUpViewer_Reset"));
        QCOMPARE(v->image(2).rotation, 0);
        QVERIFY(!v->image(2).mirrorH);
        QCOMPARE(v->image(1).rotation, 270);
        c->run(QStringLiteral("PopUpViewer_ResetAll"));
        QCOMPARE(v->image(1).rotation, 0);
        QVERIFY(!v->image(3).mirrorV);

        // Right button on the picked image opens its menu with the delete item.
        QTest::mouseClick(v, Qt::RightButton, {}, v->cellRect(2).center());
        auto *menu = v->findChild<QMenu *>(QStringLiteral("dv1_menu"));
        QVERIFY(menu && menu->isVisible());
        QVERIFY(menu->actions().contains(c->action(QStringLiteral("Popup_Dicom_Delete"))));
        menu->hide();
    }

    void refreshEmptiesStudiesImagesAndViewer()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 2);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(e.w().dv1->count(), 2);
        e.w().commands->run(QStringLiteral("mnuRefreshList"));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 0);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 0);
        QCOMPARE(e.w().dv1->count(), 0);
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 1);
    }
};

QTEST_MAIN(TestBrowser)
#include "test_browser.moc"
