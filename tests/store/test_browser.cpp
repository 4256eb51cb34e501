// The store browser and viewer on a real store: rows in a real SQLite file, real DICOM
// files (generated mammograms and pydicom's real-world files), real widgets.
#include "DoseReportSamples.h"
#include "PanelHost.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "Wait.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "store/BrowserPanel.h"
#include "store/StoreDeleteCommands.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/CommandIds.h"
#include "ui/EditForm.h"

#include <QFile>
#include <QHeaderView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QWheelEvent>
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
void tick(PanelHost::Controls &w)
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
        PanelHost h;
        StoreFixture fx;
        BrowserPanel &browser() { return *h.browser; }
        ViewerPanel &viewer() { return *h.viewer; }
        StoreDeleteCommands &deletes() { return *h.deletes; }
        PanelHost::Controls &w() { return h.w; }

        // Picks the patient with the left button and the study by a click, and waits
        // for the load.
        bool pickPatientAndStudy(const QString &patId1, int studyRow = 0)
        {
            h.browser->refreshPatientList();
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
            QSignalSpy done(h.viewer, &ViewerPanel::loadFinished);
            clickItem(w().lvStudien, study);
            return waitLoad(done);
        }
        bool waitLoad(QSignalSpy &done)
        {
            if (!done.isEmpty() || !h.viewer->isLoading())
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
        QTest::newRow("full name") << "Doe"
                                   << "Jane"
                                   << "Ann"
                                   << "1965-04-12"
                                   << "Doe, Jane";
        QTest::newRow("no first name") << "Doe" << QString() << QString() << QString() << "Doe";
        QTest::newRow("empty first name") << "Doe"
                                          << ""
                                          << ""
                                          << "1970-01-01"
                                          << "Doe";
        QTest::newRow("apostrophe") << "O'Neil"
                                    << "Mary" << QString() << "1950-02-03"
                                    << "O'Neil, Mary";
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
        e.browser().refreshPatientList();
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
        e.browser().refreshPatientList();
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
        QVERIFY(e.w().commands->run(Cmd::RefreshList));
        QCOMPARE(lv->topLevelItemCount(), 3);
    }

    void tickDuringLoadDoesNotSwallowTheNextManualRefresh()
    {
        Env e;
        e.fx.addPatient(QStringLiteral("A1"), QStringLiteral("Alpha"));
        e.browser().refreshPatientList();
        e.ts->busy = true;
        tick(e.w()); // returns at once
        e.ts->busy = false;
        e.fx.addPatient(QStringLiteral("B2"), QStringLiteral("Beta"));
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 2);
    }

    void patientPickListsStudiesAndKeepsTimer()
    {
        Env e;
        QSignalSpy picked(&e.h.selection, &StoreSelection::patientPicked);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
        e.fx.addStudy(pat, e.fx.newUid(), QStringLiteral("2026-03-02"), QStringLiteral("09:15:00"));
        e.fx.addStudy(pat, e.fx.newUid(), QStringLiteral("2026-03-05"), QStringLiteral("10:00:00"));
        const qint64 other = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        e.fx.addStudy(other, e.fx.newUid());
        e.browser().refreshPatientList();
        e.w().UpdateTimer->start();

        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 2);
        QCOMPARE(column(e.w().lvStudien, 1), (QStringList{QStringLiteral("2026-03-02"), QStringLiteral("2026-03-05")}));
        QCOMPARE(column(e.w().lvStudien, 3), (QStringList{QStringLiteral("MG"), QStringLiteral("MG")}));
        // The timer keeps taking in arrivals (around the picked patient).
        QVERIFY(e.w().UpdateTimer->isActive());
        QCOMPARE(e.w().statusPanel[0]->text(), QStringLiteral("Patient: Doe, Jane"));
        QCOMPARE(e.w().statusPanel[1]->text(), QStringLiteral("ID: P1"));
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
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
        QCOMPARE(e.browser().state().loadLevel(), QStringLiteral("Studie"));
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
        QCOMPARE(e.viewer().currentImageFile(), made.files.at(2));
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
        e.browser().refreshPatientList();
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
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
        QCOMPARE(e.w().lvPatients->currentItem()->text(0), QStringLiteral("P1"));

        // No on a study and on its right-button menu: nothing loads, no menu.
        e.ts.prompter.yesNo = {false};
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0), Qt::RightButton);
        QVERIFY(!e.w().commands->menu(Menu::Study)->isVisible());
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 1);

        // Yes: the tasks go and the other patient is taken.
        e.ts.prompter.clear();
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P2")));
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.w().dv1->count(), 0);
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P2"));
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
        QCOMPARE(e.h.selection.listedImages(), 3);
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
        e.browser().refreshPatientList();
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie")});
        QCOMPARE(e.h.edits.pendingTasks(), 1);

        e.ts.prompter.clear();
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, QStringLiteral("P1")));
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.h.edits.pendingTasks(), 0);
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
    }

    void loadRecreatesAMissingDataDatabase()
    {
        TestStation ts(false); // no database files at all
        PanelHost h(*ts);
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
        e.browser().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0), Qt::RightButton);
        QMenu *patientMenu = e.w().commands->menu(Menu::Patient);
        QVERIFY(patientMenu->isVisible());
        patientMenu->hide();
        // The menu's patient only: nobody is current before a pick.
        QCOMPARE(e.w().statusPanel[1]->text(), QString());
        QCOMPARE(e.browser().state().popupPatId1(), QStringLiteral("P1"));
        QVERIFY(!e.browser().state().hasPatient());

        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie")});
        e.ts.prompter.yesNo = {true};
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0), Qt::RightButton);
        QMenu *studyMenu = e.w().commands->menu(Menu::Study);
        QVERIFY(studyMenu->isVisible());
        studyMenu->hide();
        QCOMPARE(e.w().lvTasks->topLevelItemCount(), 0);
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});

        // The series list: no menu on the back entry, the menu on a series.
        QVERIFY(e.w().commands->run(Cmd::StudyViewSeries));
        QListWidget *ls = e.w().lvSerien;
        QMenu *seriesMenu = e.w().commands->menu(Menu::Series);
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

    void studyMenuShowsTheKeptDoseReportOfItsStudy()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const auto reported = e.fx.addStudyWithImages(pat, 2);
        const auto unreported = e.fx.addStudyWithImages(pat, 1);
        const QString file = DoseReportSamples::keep(*e.ts, DoseReportSamples::hfe501(reported.studyUid));
        QStringList windows; // title, exposures and report line of each window opened
        e.browser().execDialog = [&](QDialog &d) {
            const QStringList header = d.findChild<QLabel *>("lblHeader")->text().split('\n');
            windows << QStringLiteral("%1|%2|%3")
                           .arg(d.windowTitle())
                           .arg(d.findChild<QTableWidget *>("tblEvents")->rowCount())
                           .arg(header.last());
            return int(QDialog::Accepted);
        };
        // The unreported study is the one loaded; the menu acts on the row it was opened on.
        e.h.browser->refreshPatientList();
        clickItem(e.w().lvPatients, findPatient(e.w().lvPatients, "P1"));
        QVERIFY(e.clickStudyAndWait(findPatient(e.w().lvStudien, QString::number(unreported.studyId))));
        QMenu *menu = e.w().commands->menu(Menu::Study);
        QAction *item = e.w().commands->action(Cmd::StudyDoseReport);
        QVERIFY(menu->actions().contains(item));
        auto chooseOn = [&](qint64 studyId) {
            clickItem(e.w().lvStudien, findPatient(e.w().lvStudien, QString::number(studyId)), Qt::RightButton);
            QVERIFY(menu->isVisible());
            QVERIFY(item->isEnabled());
            item->trigger();
            menu->hide();
        };

        chooseOn(reported.studyId);
        QCOMPARE(windows, QStringList{"Dose report|4|Report: " + reported.studyUid + ".900.1"});
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList());

        chooseOn(unreported.studyId);
        QCOMPARE(windows.size(), 1);
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{"No dose report has been made for this study."});

        // A kept file that is no report: the error, logged under the command, and no window.
        QFile damaged(file);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write("not a DICOM file");
        damaged.close();
        chooseOn(reported.studyId);
        QCOMPARE(windows.size(), 1);
        QVERIFY2(e.ts.prompter.lastText().startsWith("Error #"), qPrintable(e.ts.prompter.lastText()));
        QVERIFY(errorLog(*e.ts).contains("[MainForm PopUpStudie_DoseReport_Click]"));
    }

    void seriesWindowLoadsOneSeriesAndGoesBack()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        auto made = e.fx.addStudyWithImages(pat, 5, QSize(), 2); // series 1: 3 images, series 2: 2
        e.browser().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        e.w().lvStudien->setCurrentItem(e.w().lvStudien->topLevelItem(0));
        QVERIFY(e.w().commands->run(Cmd::StudyViewSeries));
        QListWidget *ls = e.w().lvSerien;
        QVERIFY(e.w().frmSerien->isVisible());
        QCOMPARE(ls->count(), 3);
        QCOMPARE(ls->item(0)->text(), QStringLiteral(".."));
        QCOMPARE(ls->item(1)->text(), QStringLiteral("# 1"));
        QCOMPARE(ls->item(2)->text(), QStringLiteral("# 2"));

        QSignalSpy done(e.h.viewer, &ViewerPanel::loadFinished);
        ls->setCurrentRow(2);
        const QPoint at = ls->visualItemRect(ls->item(2)).center();
        QTest::mousePress(ls->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(ls->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(ls->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(e.waitLoad(done));
        QCOMPARE(e.browser().state().loadLevel(), QStringLiteral("Serie"));
        QCOMPARE(e.w().dv1->count(), 2);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 2);
        QCOMPARE(e.w().dv1->image(1).sopInstanceUid, made.sopUids.at(3));
        QCOMPARE(e.browser().state().seriesCount(), 3);

        // The back entry closes the window again.
        ls->setCurrentRow(0);
        QVERIFY(e.w().commands->run(Cmd::SeriesViewImages));
        QVERIFY(!e.w().frmSerien->isVisible());
        QCOMPARE(ls->count(), 0);
    }

    void uidsFromTheDatabaseNeverLeaveTheStore()
    {
        Env e;
        // A file outside the store that a crafted UID would reach.
        const QString outside = e.ts.root() + QStringLiteral("/secret.dcm");
        StoreFixture::writeSmallImage(outside, QStringLiteral("1.2.3"), QStringLiteral("1.2.4"),
                                      QStringLiteral("1.2.5"), 1);
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        const qint64 bad = e.fx.addStudy(pat, QStringLiteral(".."));
        e.fx.addImage(e.fx.addSeries(bad, e.fx.newUid(), 1), QStringLiteral("secret"), 1);
        const QString goodStudy = e.fx.newUid();
        const qint64 good = e.fx.addStudy(pat, goodStudy);
        e.fx.addImage(e.fx.addSeries(good, e.fx.newUid(), 1), QStringLiteral("../../secret"), 1);

        e.browser().refreshPatientList();
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
            db.exec(
                QStringLiteral("INSERT INTO tblImages (ImageID, ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) "
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
        e.viewer().pickImage(2);
        QCOMPARE(e.w().lvImages->currentItem()->text(3), uids[1]);
        e.viewer().pickImage(1);
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
        e.browser().refreshPatientList();
        clickItem(e.w().lvPatients, e.w().lvPatients->topLevelItem(0));
        QSignalSpy done(e.h.viewer, &ViewerPanel::loadFinished);
        clickItem(e.w().lvStudien, e.w().lvStudien->topLevelItem(0));
        QVERIFY(e.viewer().isLoading());
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
        QVERIFY(c->run(Cmd::ViewerRotateRight));
        QCOMPARE(v->image(1).rotation, 0);
        e.viewer().pickImage(2);
        c->run(Cmd::ViewerRotateRight);
        c->run(Cmd::ViewerRotateRight);
        c->run(Cmd::ViewerMirrorH);
        QCOMPARE(v->image(2).rotation, 180);
        QVERIFY(v->image(2).mirrorH);
        QCOMPARE(v->image(1).rotation, 0);
        c->run(Cmd::ViewerAllRotateLeft);
        c->run(Cmd::ViewerAllMirrorV);
        QCOMPARE(v->image(1).rotation, 270);
        QCOMPARE(v->image(2).rotation, 90);
        QVERIFY(v->image(3).mirrorV);
        c->run(Cmd::ViewerReset);
        QCOMPARE(v->image(2).rotation, 0);
        QVERIFY(!v->image(2).mirrorH);
        QCOMPARE(v->image(1).rotation, 270);
        c->run(Cmd::ViewerResetAll);
        QCOMPARE(v->image(1).rotation, 0);
        QVERIFY(!v->image(3).mirrorV);

        // Right button on the picked image opens its menu with the delete item.
        QTest::mouseClick(v, Qt::RightButton, {}, v->cellRect(2).center());
        auto *menu = v->findChild<QMenu *>(QStringLiteral("dv1_menu"));
        QVERIFY(menu && menu->isVisible());
        QVERIFY(menu->actions().contains(c->action(Cmd::ImageDelete)));
        menu->hide();
    }

    void refreshEmptiesStudiesImagesAndViewer()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 2);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QCOMPARE(e.w().dv1->count(), 2);
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 0);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), 0);
        QCOMPARE(e.w().dv1->count(), 0);
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 1);
    }

    // ---- the screen names the patient it shows ---------------------------------------

    void rightClickLeavesTheCurrentPatient()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 3);
        const qint64 p2 = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        e.fx.addStudyWithImages(p2, 2);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QTreeWidget *lv = e.w().lvPatients;
        clickItem(lv, findPatient(lv, QStringLiteral("P2")), Qt::RightButton);
        QMenu *menu = e.w().commands->menu(Menu::Patient);
        QVERIFY(menu->isVisible());
        menu->hide();
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P1"));
        QCOMPARE(e.w().statusPanel[1]->text(), QStringLiteral("ID: P1"));
        QCOMPARE(e.w().dv1->count(), 3);
        QCOMPARE(e.browser().state().popupPatId(), p2);
        // The menu's Delete Patient acts on the right-clicked patient only.
        e.deletes().execDialog = [](QDialog &d) {
            auto &f = static_cast<EditForm &>(d);
            f.show();
            if (!waitUntil([&] { return f.isDone(); }, 10000))
                return -1;
            f.findChild<QPushButton *>("cmdOK")->click();
            return f.result();
        };
        QVERIFY(e.w().commands->run(Cmd::PatientDelete));
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblPatienten")), 1);
        QVERIFY(!findPatient(lv, QStringLiteral("P2")));
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
    }

    void arrowKeysPickLikeAClick()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 3);
        const qint64 p2 = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        const auto s2a = e.fx.addStudyWithImages(p2, 2);
        e.fx.addStudyWithImages(p2, 4);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QTreeWidget *lv = e.w().lvPatients;
        lv->setFocus();
        QTest::keyClick(lv, Qt::Key_Down);
        QCoreApplication::processEvents();
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P2"));
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P2"));
        QCOMPARE(e.w().statusPanel[1]->text(), QStringLiteral("ID: P2"));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 2);
        QCOMPARE(e.w().dv1->count(), 0); // P1's images are gone with P1

        // In the study list the arrows load the highlighted study.
        QTreeWidget *studies = e.w().lvStudien;
        QSignalSpy done(e.h.viewer, &ViewerPanel::loadFinished);
        clickItem(studies, studies->topLevelItem(0));
        QVERIFY(e.waitLoad(done));
        studies->setFocus();
        done.clear();
        QTest::keyClick(studies, Qt::Key_Down);
        QCoreApplication::processEvents();
        QVERIFY(e.waitLoad(done));
        QCOMPARE(e.browser().state().studyUid(), studies->currentItem()->data(0, BrowserPanel::TagRole).toString());
        const int expected = studies->currentItem()->data(0, BrowserPanel::TagRole).toString() == s2a.studyUid ? 2 : 4;
        QCOMPARE(e.w().dv1->count(), expected);
        QCOMPARE(e.w().lvImages->topLevelItemCount(), expected);
    }

    void noAfterARebuildKeepsTheHighlightOnThePatientById()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 2);
        e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        new QTreeWidgetItem(e.w().lvTasks, {QStringLiteral("Studie"), QStringLiteral("0010,0010")});
        // A rebuild puts a new patient into P1's old row.
        e.fx.addPatient(QStringLiteral("A0"), QStringLiteral("Ahead"));
        e.w().commands->run(Cmd::RefreshList);
        QTreeWidget *lv = e.w().lvPatients;
        QCOMPARE(lv->topLevelItem(0)->text(0), QStringLiteral("A0"));
        e.ts.prompter.yesNo = {false};
        clickItem(lv, findPatient(lv, QStringLiteral("P2")));
        QCOMPARE(e.ts.prompter.texts_shown(), QStringList{QStringLiteral("Cancel current changes?")});
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P1"));
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
    }

    void thumbDragNeverShowsAnEmptyViewer()
    {
        Env e;
        const qint64 p = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p, 200);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        QScrollBar *sb = e.w().dv1_vscroll;
        QCOMPARE(v->count(), 200);
        QVERIFY(sb->isEnabled());
        sb->setSliderDown(true);
        for (int value : {sb->maximum() / 2, sb->maximum() - 1, sb->maximum()}) {
            sb->setSliderPosition(value);
            QCOMPARE(v->firstImage(), value * v->columns() + 1);
            QVERIFY(!v->cellRect(v->firstImage()).isEmpty());
        }
        QVERIFY(!v->cellRect(200).isEmpty()); // the last image is on the last page
        sb->setSliderDown(false);
        QCOMPARE(v->firstImage(), sb->maximum() * v->columns() + 1);
    }

    void noticesStayWhenThePatientsCannotBeRead()
    {
        Env e;
        e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addReceive();
        e.fx.addReceive();
        {
            Database db = Database::openData(e.ts->paths());
            db.exec(QStringLiteral("ALTER TABLE tblPatienten RENAME TO tblPatientenAway"));
        }
        tick(e.w());
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblReceive")), 2);
        QVERIFY(errorLog(*e.ts).contains(QStringLiteral("MainForm_RefreshPatientList")));
        {
            Database db = Database::openData(e.ts->paths());
            db.exec(QStringLiteral("ALTER TABLE tblPatientenAway RENAME TO tblPatienten"));
        }
        tick(e.w());
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblReceive")), 0);
        QCOMPARE(e.w().lvPatients->topLevelItemCount(), 1);
    }

    void arrivalsJoinTheListAroundTheLoadedStudy()
    {
        Env e;
        const qint64 p1 = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(p1, 3);
        e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Roe"));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        v->setFocus();
        QTest::mouseClick(v, Qt::LeftButton, {}, v->cellRect(2).center());
        QCOMPARE(e.browser().state().currentImage(), 2);
        QVERIFY(e.w().UpdateTimer->isActive());
        QVERIFY(e.w().lvPatients->currentItem()->isSelected());

        // Fourteen arrivals: new patients, a renamed one and a new study of P1.
        for (int i = 0; i < 14; ++i)
            e.fx.addPatient(QStringLiteral("N%1").arg(i, 2, 10, QLatin1Char('0')), QStringLiteral("New"));
        {
            Database db = Database::openData(e.ts->paths());
            db.exec(QStringLiteral("UPDATE tblPatienten SET PatNachname = ? WHERE PatID1 = ?"),
                    {QStringLiteral("Roe-Smith"), QStringLiteral("P2")});
        }
        e.fx.addStudy(p1, e.fx.newUid(), QStringLiteral("2026-03-09"));
        e.fx.addReceive();
        tick(e.w());
        QTreeWidget *lv = e.w().lvPatients;
        QCOMPARE(lv->topLevelItemCount(), 16);
        QCOMPARE(findPatient(lv, QStringLiteral("P2"))->text(1), QStringLiteral("Roe-Smith"));
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P1"));
        QVERIFY(lv->currentItem()->isSelected());
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P1"));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 2);
        QCOMPARE(e.w().lvStudien->selectedItems().size(), 1);
        QCOMPARE(v->count(), 3);
        QCOMPARE(e.browser().state().currentImage(), 2);
        QCOMPARE(rowCount(*e.ts, QStringLiteral("tblReceive")), 0);

        // A refresh rebuilds: what was loaded is gone and the panels say nothing of it.
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(v->count(), 0);
        QCOMPARE(e.w().statusPanel[StoreStatus::PanelImages]->text(), QString());
        QCOMPARE(e.w().statusPanel[StoreStatus::PanelSelected]->text(), QString());
        QCOMPARE(e.browser().state().currentImage(), 0);
    }

    void patientListKeepsTheIdOrderThroughSortsRenamesAndArrivals()
    {
        Env e;
        const qint64 p10 = e.fx.addPatient(QStringLiteral("P10"), QStringLiteral("Bauer"));
        e.fx.addPatient(QStringLiteral("A2"), QStringLiteral("Zimmer"));
        const qint64 p2 = e.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Auer"));
        e.fx.addPatient(QStringLiteral("b1"), QStringLiteral("Meier"));
        e.fx.addPatient(QStringLiteral("Z9"), QStringLiteral("Otto"));
        e.fx.addStudyWithImages(p10, 2);
        e.w().commands->run(Cmd::RefreshList);
        QTreeWidget *lv = e.w().lvPatients;
        const QStringList byId{"A2", "P10", "P2", "Z9", "b1"};
        QCOMPARE(column(lv, 0), byId);

        // The operator sorts by name with a header click, and by ID again.
        QHeaderView *header = lv->header();
        const auto clickHeader = [&](int section) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
        };
        clickHeader(1);
        QCOMPARE(column(lv, 1), (QStringList{"Auer", "Bauer", "Meier", "Otto", "Zimmer"}));
        clickHeader(0);
        QCOMPARE(column(lv, 0), byId);

        // While P10 is loaded, arrivals are merged: P2 now has another ID, M5 is new.
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P10")));
        {
            Database db = Database::openData(e.ts->paths());
            db.exec(QStringLiteral("UPDATE tblPatienten SET PatID1 = ? WHERE PatID = ?"), {QStringLiteral("A1"), p2});
        }
        e.fx.addPatient(QStringLiteral("M5"), QStringLiteral("Neu"));
        e.fx.addReceive();
        tick(e.w());
        const QStringList merged{"A1", "A2", "M5", "P10", "Z9", "b1"};
        QCOMPARE(column(lv, 0), merged);
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P10"));
        QVERIFY(lv->currentItem()->isSelected());

        // A rebuild lists the same, the highlight still on the loaded patient.
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(column(lv, 0), merged);
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P10"));
    }

    // A list longer than a page shows its first page at once; the rest comes in page by
    // page, the loaded patient highlighted once its row is in, arrivals merged meanwhile
    // listed once, and IDs the locale orders otherwise than the store still in ID order.
    void longPatientListFillsPageByPageInIdOrder()
    {
        Env e;
        e.browser().patientPage = 3;
        QTreeWidget *lv = e.w().lvPatients;
        QStringList ids;
        for (int i = 0; i < 10; ++i)
            ids << QStringLiteral("P%1").arg(i);
        qint64 p8 = 0;
        for (const QString &id : ids) {
            const qint64 key = e.fx.addPatient(id, QStringLiteral("Name ") + id);
            if (id == QLatin1String("P8"))
                p8 = key;
        }
        e.fx.addStudyWithImages(p8, 1);
        const auto complete = [&] {
            QSignalSpy done(&e.browser(), &BrowserPanel::patientListComplete);
            return !e.browser().patientListFilling() || done.wait(10000);
        };
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(column(lv, 0), ids.mid(0, 3));
        QVERIFY(complete());
        QCOMPARE(column(lv, 0), ids);
        clickItem(lv, findPatient(lv, QStringLiteral("P8")));
        QCOMPARE(e.w().lvStudien->topLevelItemCount(), 1);
        QVERIFY(e.clickStudyAndWait(e.w().lvStudien->topLevelItem(0)));

        // A rebuild: the first page at once, P8 highlighted as soon as its page is in.
        e.w().commands->run(Cmd::RefreshList);
        QCOMPARE(column(lv, 0), ids.mid(0, 3));
        QVERIFY(e.browser().patientListFilling());
        QVERIFY(!lv->currentItem() || lv->currentItem()->text(0) != QLatin1String("P8"));
        QVERIFY(complete());
        QCOMPARE(column(lv, 0), ids);
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P8"));
        QCOMPARE(e.browser().state().patId1(), QStringLiteral("P8"));

        // Arrivals while the list fills: one before the page reached, one after it.
        e.w().commands->run(Cmd::RefreshList);
        QVERIFY(e.browser().patientListFilling());
        e.fx.addPatient(QStringLiteral("P0A"), QStringLiteral("Early"));
        e.fx.addPatient(QStringLiteral("P9A"), QStringLiteral("Late"));
        e.fx.addReceive();
        tick(e.w());
        QVERIFY(complete());
        QStringList all = ids;
        all.insert(1, QStringLiteral("P0A"));
        all << QStringLiteral("P9A");
        QCOMPARE(column(lv, 0), all);
        QCOMPARE(lv->currentItem()->text(0), QStringLiteral("P8"));
    }

    void longListInALocaleThatOrdersIdsOtherwise()
    {
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        // The store orders by bytes: B2, D4, F6, a1, c3, e5. The list by the locale.
        QVERIFY2(QString::localeAwareCompare(QStringLiteral("a1"), QStringLiteral("B2")) < 0,
                 "Qt compares texts without the locale's collation");
        Env e;
        e.browser().patientPage = 2;
        for (const char *id : {"a1", "B2", "c3", "D4", "e5", "F6"})
            e.fx.addPatient(QString::fromLatin1(id), QStringLiteral("Doe"));
        QSignalSpy done(&e.browser(), &BrowserPanel::patientListComplete);
        e.w().commands->run(Cmd::RefreshList);
        QVERIFY(done.wait(10000));
        QTreeWidget *lv = e.w().lvPatients;
        const QStringList byId{"a1", "B2", "c3", "D4", "e5", "F6"};
        QCOMPARE(column(lv, 0), byId);
        // The header's sorts still agree with the IDs after the rows were placed anew.
        lv->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(column(lv, 0), (QStringList{"F6", "e5", "D4", "c3", "B2", "a1"}));
        lv->sortByColumn(0, Qt::AscendingOrder);
        QCOMPARE(column(lv, 0), byId);
    }

    // ---- viewing mammograms --------------------------------------------------------

    void fourMammogramsHangTwoByTwoWhateverTheGrid()
    {
        Env e;
        QCOMPARE(e.w().dv1->rows(), 7); // the default grid: 7 x 3
        const qint64 pat = e.fx.addPatient(QStringLiteral("MG1"), QStringLiteral("Doe"));
        const QString study = e.fx.newUid();
        const qint64 st = e.fx.addStudy(pat, study);
        const qint64 se = e.fx.addSeries(st, e.fx.newUid(), 1);
        // Scrambled: L MLO, R CC, L CC, R MLO.
        const QList<std::pair<char, QString>> given{{'L', "MLO"}, {'R', "CC"}, {'L', "CC"}, {'R', "MLO"}};
        QStringList uids;
        for (int i = 0; i < given.size(); ++i) {
            StoreFixture::Mammogram m;
            m.laterality = given[i].first;
            m.view = given[i].second;
            m.instanceNumber = i + 1;
            m.seed = quint32(i + 3);
            m.studyUid = study;
            m.sopUid = e.fx.newUid();
            m.seriesUid = e.fx.newUid();
            StoreFixture::writeMammogram(e.fx.imageFile(study, m.sopUid), m);
            e.fx.addImage(se, m.sopUid, i + 1);
            uids << m.sopUid;
        }
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("MG1")));
        ViewerWidget *v = e.w().dv1;
        QCOMPARE(v->count(), 4);
        QVERIFY(v->isHanging());
        QCOMPARE(v->rows(), 2);
        QCOMPARE(v->columns(), 2);
        QCOMPARE(v->cells(), (QList<int>{2, 3, 4, 1}));
        QStringList labels;
        for (int n : v->cells())
            labels << ViewerWidget::viewLabel(v->image(n));
        QCOMPARE(labels, (QStringList{"R CC", "L CC", "R MLO", "L MLO"}));
        QCOMPARE(e.w().dv1_vscroll->maximum(), 0); // one page holds them all
        // R CC top left, L MLO bottom right; a quarter of the viewer each.
        QCOMPARE(v->cellRect(2).topLeft(), QPoint(0, 0));
        QVERIFY(v->cellRect(1).contains(QPoint(v->width() - 5, v->height() - 5)));
        QVERIFY(v->cellRect(2).height() >= v->height() / 2 - 1);

        // The chest walls face each other: bright tissue at the inner edges.
        const QImage shot = v->grab().toImage();
        auto meanColumn = [&shot](const QRect &cell, double at) {
            const int x = cell.left() + int(cell.width() * at);
            qint64 sum = 0;
            for (int y = cell.top() + cell.height() / 4; y < cell.bottom() - cell.height() / 4; ++y)
                sum += qGray(shot.pixel(x, y));
            return double(sum) / (cell.height() / 2);
        };
        // The picture is centred in its cell, the breast across about 60 % of its width.
        const QRect rcc = v->cellRect(2), lcc = v->cellRect(3);
        QVERIFY(meanColumn(rcc, 0.62) > meanColumn(rcc, 0.40) + 10);
        QVERIFY(meanColumn(lcc, 0.38) > meanColumn(lcc, 0.60) + 10);

        // Labels in the foreground colour on every cell.
        const QColor fg = v->foreground();
        auto hasFg = [&shot, &fg](const QRect &r) {
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    if (shot.pixelColor(x, y) == fg)
                        return true;
            return false;
        };
        for (int n : v->cells()) {
            const QRect c = v->cellRect(n);
            QVERIFY(hasFg(QRect(c.left() + 4, c.top() + 4, 60, 24)));   // "R CC"
            QVERIFY(hasFg(QRect(c.right() - 30, c.top() + 4, 26, 24))); // the number
        }

        // The View menu item turns the hanging off, and the setting remembers it.
        QVERIFY(e.w().commands->run(Cmd::MammoLayout));
        QVERIFY(!v->isHanging());
        QCOMPARE(v->rows(), 7);
        QCOMPARE(v->cells(), (QList<int>{1, 2, 3, 4}));
        QCOMPARE(e.ts->settingsStore().readValue(QStringLiteral("General/MammoLayout"), {}), QStringLiteral("0"));
        QVERIFY(!e.w().commands->action(Cmd::MammoLayout)->isChecked());
        QVERIFY(e.w().commands->run(Cmd::MammoLayout));
        QVERIFY(v->isHanging());
    }

    void otherStudiesKeepTheGrid()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 4); // small OT images
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        QVERIFY(!e.w().dv1->isHanging());
        QCOMPARE(e.w().dv1->rows(), 7);
        QCOMPARE(e.w().dv1->columns(), 3);
    }

    void enlargeStepAndReturnToTheSamePage()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 30);
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        // The wheel pages one row a notch.
        QWheelEvent down(QPointF(50, 50), v->mapToGlobal(QPointF(50, 50)), {}, QPoint(0, -120), Qt::NoButton, {},
                         Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(v, &down);
        QCOMPARE(v->firstImage(), 4);
        QCOMPARE(e.w().dv1_vscroll->value(), 1);

        const QPoint at = v->cellRect(5).center();
        QTest::mouseDClick(v, Qt::LeftButton, {}, at);
        QCOMPARE(v->enlarged(), 5);
        QCOMPARE(v->cellRect(5), v->rect());
        QCOMPARE(e.browser().state().currentImage(), 5);
        QCOMPARE(v->imageAt(QPoint(3, 3)), 5);
        // Stepping with the wheel picks the next image.
        QCoreApplication::sendEvent(v, &down);
        QCOMPARE(v->enlarged(), 6);
        QCOMPARE(e.browser().state().currentImage(), 6);
        QTest::keyClick(v, Qt::Key_Escape);
        QCOMPARE(v->enlarged(), 0);
        QCOMPARE(v->firstImage(), 4);
        QVERIFY(e.w().dv1_vscroll->isEnabled());
        // Enter enlarges the picked image; a double click returns.
        QTest::keyClick(v, Qt::Key_Return);
        QCOMPARE(v->enlarged(), 6);
        QTest::mouseDClick(v, Qt::LeftButton, {}, QPoint(20, 20));
        QCOMPARE(v->enlarged(), 0);
    }

    void rightDragChangesTheEnlargedWindowAndResetRestoresIt()
    {
        Env e;
        const qint64 pat = e.fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"));
        e.fx.addStudyWithImages(pat, 2, QSize(332, 410));
        QVERIFY(e.pickPatientAndStudy(QStringLiteral("P1")));
        ViewerWidget *v = e.w().dv1;
        QSignalSpy ready(e.h.viewer, &ViewerPanel::windowSourceReady);
        QTest::mouseDClick(v, Qt::LeftButton, {}, v->cellRect(1).center());
        QVERIFY(ready.wait(20000));
        const double centre = e.viewer().windowCentre(), width = e.viewer().windowWidth();
        QCOMPARE(centre, v->image(1).windowCentre);
        QVERIFY(width > 0);
        const QImage before = v->enlargedPicture();
        QVERIFY(!before.isNull());
        QVERIFY(before.width() > v->image(1).image.width()); // read again at the viewer's size

        const QPoint from = v->rect().center();
        QTest::mousePress(v, Qt::RightButton, {}, from);
        for (int i = 1; i <= 10; ++i) {
            QMouseEvent move(QEvent::MouseMove, QPointF(from + QPoint(i * 10, i * 5)),
                             v->mapToGlobal(QPointF(from + QPoint(i * 10, i * 5))), Qt::NoButton, Qt::RightButton, {});
            QCoreApplication::sendEvent(v, &move);
        }
        QTest::mouseRelease(v, Qt::RightButton, {}, from + QPoint(100, 50));
        QVERIFY(e.viewer().windowWidth() > width);
        QVERIFY(e.viewer().windowCentre() > centre);
        QVERIFY(v->enlargedPicture() != before);
        QVERIFY(!v->findChild<QMenu *>(QStringLiteral("dv1_menu"))
                || !v->findChild<QMenu *>(QStringLiteral("dv1_menu"))->isVisible());

        QVERIFY(e.w().commands->run(Cmd::ViewerReset));
        QCOMPARE(e.viewer().windowCentre(), centre);
        QCOMPARE(e.viewer().windowWidth(), width);
        QCOMPARE(v->enlargedPicture(), before);
    }
};

QTEST_MAIN(TestBrowser)
#include "test_browser.moc"
