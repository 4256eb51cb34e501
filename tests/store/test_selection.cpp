// The store selection as the panels see it: which changes they are told of, and which
// they are not; and that the lists, the viewer and the delete commands, which only talk
// through it, still follow each other.
#include "PanelHost.h"
#include "StoreFixture.h"
#include "store/BrowserPanel.h"
#include "store/StoreDeleteCommands.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"

#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>

class TestSelection : public QObject {
    Q_OBJECT

private slots:
    void anotherPatientIsAnnouncedOnce()
    {
        StoreSelection s;
        QSignalSpy picked(&s, &StoreSelection::patientPicked);
        QVERIFY(s.setPatient(7, QStringLiteral("P7"), QStringLiteral("Doe, Jane"), QStringLiteral("1960-01-02")));
        QCOMPARE(picked.count(), 1);
        QVERIFY(s.hasPatient());
        QCOMPARE(s.storePatient().displayName, QStringLiteral("Doe, Jane"));
        // The same patient again: nothing to tell.
        QVERIFY(!s.setPatient(7, QStringLiteral("P7"), QStringLiteral("Doe, Jane"), QStringLiteral("1960-01-02")));
        QCOMPARE(picked.count(), 1);
        // Its name corrected: the panels that show it must hear of it.
        QVERIFY(s.setPatient(7, QStringLiteral("P7"), QStringLiteral("Doe, Joan"), QStringLiteral("1960-01-02")));
        QCOMPARE(picked.count(), 2);
    }

    void forgettingThePatientForgetsStudyAndSeriesAndTellsNoPick()
    {
        StoreSelection s;
        s.setPatient(7, QStringLiteral("P7"), QStringLiteral("Doe"), QString());
        s.setPopupPatient(7, QStringLiteral("P7"));
        s.setStudy(QStringLiteral("12"), QStringLiteral("1.2.3"), 0);
        s.setSeriesId(44);
        s.setListedImages(3);
        QSignalSpy picked(&s, &StoreSelection::patientPicked);
        QSignalSpy deleted(&s, &StoreSelection::patientDeleted);
        s.forgetPatient();
        QCOMPARE(deleted.count(), 1);
        QCOMPARE(picked.count(), 0);
        QVERIFY(!s.hasPatient());
        QCOMPARE(s.popupPatId(), qint64(0));
        QCOMPARE(s.studyUid(), QString());
        QCOMPARE(s.seriesId(), qint64(0));
        QCOMPARE(s.listedImages(), 0);
    }

    void currentImageIsAnnouncedWhenItChanges()
    {
        StoreSelection s;
        QSignalSpy picked(&s, &StoreSelection::imagePicked);
        QVERIFY(!s.clearCurrentImage()); // none before: nothing to tell
        QCOMPARE(picked.count(), 0);
        QVERIFY(s.setCurrentImage(2, QStringLiteral("/a/2.dcm"), QStringLiteral("1.2.2")));
        QCOMPARE(picked.count(), 1);
        QVERIFY(s.imageFramed());
        QVERIFY(!s.setCurrentImage(2, QStringLiteral("/a/2.dcm"), QStringLiteral("1.2.2")));
        QCOMPARE(picked.count(), 1);
        QVERIFY(s.clearCurrentImage());
        QCOMPARE(picked.count(), 2);
        QCOMPARE(s.currentImage(), 0);
        QCOMPARE(s.currentImageFile(), QString());
        QCOMPARE(s.currentImageUid(), QString());
        QVERIFY(!s.imageFramed());
    }

    void onlyAHighlightedStudyIsTaken()
    {
        StoreSelection s;
        s.setStudy(QStringLiteral("5"), QStringLiteral("1.5"), 0);
        QVERIFY(!s.takeHighlightedStudy());
        QCOMPARE(s.studyUid(), QStringLiteral("1.5"));
        s.setHighlightedStudy(QStringLiteral("9"), QStringLiteral("1.9"), 2);
        QVERIFY(s.takeHighlightedStudy());
        QCOMPARE(s.studyId(), QStringLiteral("9"));
        QCOMPARE(s.studyUid(), QStringLiteral("1.9"));
        QCOMPARE(s.studyIndex(), 2);
    }

    // The panels: a pick made twice is told twice (the dose list and the header show it
    // afresh), and what the lists highlight is what the delete commands act on.
    void panelsFollowEachOtherThroughTheSelection()
    {
        TestStation ts;
        PanelHost h(*ts);
        StoreFixture fx(*ts);
        const qint64 pat = fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
        const auto made = fx.addStudyWithImages(pat, 3);
        h.window.show();
        h.load();
        QSignalSpy patients(&h.selection, &StoreSelection::patientPicked);
        QSignalSpy images(&h.selection, &StoreSelection::imagePicked);

        QTreeWidget *lvPatients = h.w.lvPatients;
        QCOMPARE(lvPatients->topLevelItemCount(), 1);
        const QPoint row = lvPatients->visualItemRect(lvPatients->topLevelItem(0)).center();
        h.browser->patientMouseUp(Qt::LeftButton, row);
        h.browser->patientMouseUp(Qt::LeftButton, row);
        QCOMPARE(patients.count(), 2);

        // No study highlighted: the study deletion has nothing to act on.
        QCOMPARE(h.selection.highlightedStudyId(), QString());
        QSignalSpy loaded(h.viewer, &ViewerPanel::loadFinished);
        h.browser->studyItemClick(h.w.lvStudien->topLevelItem(0));
        QVERIFY(loaded.count() > 0 || loaded.wait(60000));
        QCOMPARE(h.selection.highlightedStudyId(), h.w.lvStudien->topLevelItem(0)->text(0));
        QCOMPARE(h.selection.viewerFiles().size(), 3);

        // The viewer's pick marks the image list's row; picked again, told again.
        images.clear();
        h.viewer->pickImage(2);
        h.viewer->pickImage(2);
        QCOMPARE(images.count(), 2);
        QCOMPARE(h.selection.currentImageFile(), made.files.at(1));
        QVERIFY(h.w.lvImages->currentItem());
        QCOMPARE(h.w.lvImages->currentItem()->text(3), h.w.dv1->image(2).sopInstanceUid);

        // A click on an image row frames that image in the viewer.
        QTreeWidgetItem *third = nullptr;
        for (int i = 0; i < h.w.lvImages->topLevelItemCount(); ++i)
            if (h.w.lvImages->topLevelItem(i)->text(3) == h.w.dv1->image(3).sopInstanceUid)
                third = h.w.lvImages->topLevelItem(i);
        QVERIFY(third);
        h.browser->imagesItemClick(third);
        QCOMPARE(h.selection.currentImage(), 3);
        QCOMPARE(h.w.dv1->framedImage(), 3);
    }
};

QTEST_MAIN(TestSelection)
#include "test_selection.moc"
