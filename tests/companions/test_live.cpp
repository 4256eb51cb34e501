// The live examination view through the whole main window and the real companions:
// images sent with dcmsend to TqReceiver, filed by TqDataMgr, announced over its notice
// socket, and shown in the viewer while the worklist patient's examination is open.
#include "CompanionTestKit.h"
#include "PanelHost.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "app/LiveExamination.h"
#include "core/Companions.h"
#include "dicom/WorklistQuery.h"
#include "net/WorklistEntry.h"
#include "store/ViewerWidget.h"

#include <QStatusBar>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {

const QString LivePatient = QStringLiteral("4711");

// "Apply" in the worklist: patient 4711 (SMITH, ANN) with the study the worklist scheduled.
void openExamination(MainForm &form, const QString &scheduledStudy, const QString &id = LivePatient,
                     const QString &first = QStringLiteral("ANN"), const QString &last = QStringLiteral("SMITH"))
{
    WorklistEntry e;
    e.columns[WorklistEntry::PatientId] = id;
    e.columns[WorklistEntry::GivenName] = first;
    e.columns[WorklistEntry::FamilyName] = last;
    e.columns[WorklistEntry::BirthDate] = QStringLiteral("1960-12-31");
    e.columns[WorklistEntry::BodyPart] = QStringLiteral("BREAST");
    DoseState &dose = form.doseState();
    dose.takeWorklistPatient(e);
    dicom::WorklistAnswer a;
    a.patientId = id;
    a.studyUid = scheduledStudy;
    emit dose.worklistAnswerTaken(a);
    dose.setStudyOpen(true);
}

// An exposure's record as the capture stores it for the worklist patient (HFE 501).
void storeDose(Station &s, DoseState &dose, int imageNo, const QString &dap, const QString &kv, const QString &mas,
               const QString &patient = LivePatient)
{
    {
        Database db = Database::openData(s.paths());
        db.exec(
            QStringLiteral("INSERT INTO tblDosis (PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, Status,"
                           " ImgNo, XrayComm, WorklistPatID, RecordUID) VALUES ('ANN', 'SMITH', '1960-12-31', ?, ?,"
                           " ?, '0', ?, 5, ?, ?)"),
            {dap, kv, mas, imageNo, patient, QUuid::createUuid().toString()});
    }
    dose.notifyRecordsStored();
}

// A click on a list row, as the operator makes it.
void clickRow(QTreeWidget *lv, const QString &text)
{
    const QList<QTreeWidgetItem *> found = lv->findItems(text, Qt::MatchExactly, 0);
    QVERIFY2(!found.isEmpty(), qPrintable(text));
    lv->scrollToItem(found.first());
    const QRect r = lv->visualItemRect(found.first());
    QTest::mouseClick(lv->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 12, r.center().y()));
    QCoreApplication::processEvents();
}

QStringList labels(const ViewerWidget *dv)
{
    QStringList out;
    for (int n : dv->cells())
        out << (n ? ViewerWidget::viewLabel(dv->image(n)) : QStringLiteral("-"));
    return out;
}

} // namespace

class TestLive : public QObject {
    Q_OBJECT

    struct Room {
        Room() : live(freeTcpPort())
        {
            receiver = live.startChild(Companions::receiverName());
            dataManager = live.startChild(Companions::dataManagerName());
        }
        ~Room()
        {
            for (auto *p : {receiver.get(), dataManager.get()})
                if (p && p->state() != QProcess::NotRunning)
                    kit::terminateChild(*p);
        }
        bool ready() { return live.waitForReceiver() && live.waitForDataManager(); }
        // A mammogram of the examination's study (or another patient's) written for sending.
        QString mammogram(const QString &patientId, const QString &study, char side, const QString &view, int number)
        {
            StoreFixture::Mammogram m;
            m.patientId = patientId;
            m.patientName = patientId == LivePatient             ? QStringLiteral("SMITH^ANN")
                            : patientId == QLatin1String("0815") ? QStringLiteral("JONES^EVE")
                                                                 : QStringLiteral("OTHER^EVE");
            m.studyUid = study;
            m.seriesUid = study + QStringLiteral(".1");
            m.sopUid = study + QStringLiteral(".1.") + QString::number(number);
            m.laterality = side;
            m.view = view;
            m.instanceNumber = number;
            m.seed = quint32(number);
            const QString path = files.filePath(QStringLiteral("%1-%2.dcm").arg(patientId).arg(number));
            StoreFixture::writeMammogram(path, m);
            return path;
        }
        kit::LiveStation live;
        std::unique_ptr<QProcess> receiver, dataManager;
        QTemporaryDir files;
    };

    static QString newStudy() { return QStringLiteral("1.2.826.0.1.3680043.2.1125.9.") + QString::number(++s_study); }
    static inline int s_study = 0;

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::receiverName())).isExecutable(),
                 "TqReceiver not built");
        QVERIFY2(QFileInfo(Companions::executablePath(Companions::dataManagerName())).isExecutable(),
                 "TqDataMgr not built");
    }

    // Four views sent one by one while the examination is open: each is on screen without
    // waiting for the lists' timer, in the 2 x 2 hanging, the newest marked, each with the
    // dose of its own exposure; an image of another patient never joins them.
    void examinationImagesHangAsTheyArrive()
    {
        Room room;
        QVERIFY(room.ready());
        PanelHost host(*room.live, std::function<void(MainForm &)>());
        MainForm &form = *host.form;
        // Only the data manager's notice can show the images in time: the timer waits.
        auto *timer = form.findChild<QTimer *>(QStringLiteral("UpdateTimer"));
        QVERIFY(timer);
        timer->stop();
        QVERIFY(form.live().noticesHeard());
        const QString study = newStudy();
        openExamination(form, study);
        storeDose(*room.live, form.doseState(), 1, QStringLiteral("2.00"), QStringLiteral("28"), QStringLiteral("50"));
        storeDose(*room.live, form.doseState(), 3, QStringLiteral("4.00"), QStringLiteral("30"), QStringLiteral("63"));

        auto *dv = form.viewer().viewerPane()->findChild<ViewerWidget *>();
        QVERIFY(dv);
        const QList<std::pair<char, QString>> views{{'R', "CC"}, {'L', "CC"}, {'R', "MLO"}, {'L', "MLO"}};
        QStringList sent;
        for (int i = 0; i < views.size(); ++i) {
            const QString f = room.mammogram(LivePatient, study, views[i].first, views[i].second, i + 1);
            QCOMPARE(room.live.send({f}), 0);
            sent << study + QStringLiteral(".1.") + QString::number(i + 1);
            QVERIFY2(waitUntil([&] { return dv->loadedCount() == i + 1 && dv->newest() == i + 1; }, 8000),
                     qPrintable(QStringLiteral("image %1 not shown; the viewer holds %2").arg(i + 1).arg(dv->count())));
            QCOMPARE(dv->count(), i + 1);
            QCOMPARE(dv->image(i + 1).sopInstanceUid, sent.last());
            QCOMPARE(form.selection().patId1(), LivePatient);
            QCOMPARE(form.selection().studyUid(), study);
            // Another patient's image meanwhile: listed, never in the examination.
            if (i == 1) {
                QCOMPARE(room.live.send({room.mammogram(QStringLiteral("999"), newStudy(), 'L', "CC", 9)}), 0);
                auto *patients = form.findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
                QVERIFY(waitUntil(
                    [&] { return !patients->findItems(QStringLiteral("999"), Qt::MatchExactly, 0).isEmpty(); }, 8000));
                QCOMPARE(dv->count(), 2);
            }
        }
        QVERIFY(dv->isHanging());
        QCOMPARE(labels(dv), (QStringList{"R CC", "L CC", "R MLO", "L MLO"}));
        QCOMPARE(dv->image(1).caption, QStringLiteral("28 kV · 50 mAs · 2.00 cGy·cm²"));
        QCOMPARE(dv->image(2).caption, QStringLiteral("no dose yet"));
        QCOMPARE(dv->image(3).caption, QStringLiteral("30 kV · 63 mAs · 4.00 cGy·cm²"));
        // The record of the second exposure comes late: its image shows it at once.
        storeDose(*room.live, form.doseState(), 2, QStringLiteral("3.00"), QStringLiteral("29"), QStringLiteral("56"));
        QCOMPARE(dv->image(2).caption, QStringLiteral("29 kV · 56 mAs · 3.00 cGy·cm²"));
        // The image list names the four as well.
        auto *images = form.findChild<QTreeWidget *>(QStringLiteral("lvImages"));
        QCOMPARE(images->topLevelItemCount(), 4);

        // "New Study" closes the examination: the dose lines go.
        form.doseState().setStudyOpen(false);
        QCOMPARE(dv->image(1).caption, QString());
    }

    // Two patients in a row: the second examination's images take the place of the first
    // one's on screen; a late image of the first never joins the second's, and each shows
    // its own patient's dose.
    void twoPatientsInARow()
    {
        Room room;
        QVERIFY(room.ready());
        PanelHost host(*room.live, std::function<void(MainForm &)>());
        MainForm &form = *host.form;
        auto *dv = form.viewer().viewerPane()->findChild<ViewerWidget *>();
        const QString first = newStudy(), second = newStudy();
        openExamination(form, first);
        storeDose(*room.live, form.doseState(), 1, QStringLiteral("2.00"), QStringLiteral("28"), QStringLiteral("50"));
        QCOMPARE(room.live.send({room.mammogram(LivePatient, first, 'R', "CC", 1)}), 0);
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 1 && form.selection().studyUid() == first; }, 8000));
        QCOMPARE(dv->image(1).caption, QStringLiteral("28 kV · 50 mAs · 2.00 cGy·cm²"));

        // "New Study", and the next woman from the worklist.
        form.doseState().setStudyOpen(false);
        form.doseState().clearPanel();
        openExamination(form, second, QStringLiteral("0815"), QStringLiteral("EVE"), QStringLiteral("JONES"));
        storeDose(*room.live, form.doseState(), 1, QStringLiteral("3.00"), QStringLiteral("30"), QStringLiteral("60"),
                  QStringLiteral("0815"));
        QCOMPARE(room.live.send({room.mammogram(QStringLiteral("0815"), second, 'R', "CC", 1)}), 0);
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 1 && form.selection().studyUid() == second; }, 8000));
        QCOMPARE(form.selection().patId1(), QStringLiteral("0815"));
        QCOMPARE(dv->image(1).sopInstanceUid, second + QStringLiteral(".1.1"));
        QCOMPARE(dv->image(1).caption, QStringLiteral("30 kV · 60 mAs · 3.00 cGy·cm²"));

        // The first woman's last image comes late: listed under her, not in this view.
        QCOMPARE(room.live.send({room.mammogram(LivePatient, first, 'L', "CC", 2)}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(*room.live, "SELECT COUNT(*) FROM tblImages"), qint64(3), 8000);
        QTest::qWait(800);
        QCOMPARE(form.selection().studyUid(), second);
        QCOMPARE(dv->count(), 1);
        QCOMPARE(dv->image(1).sopInstanceUid, second + QStringLiteral(".1.1"));
        // Her second image then: it joins.
        storeDose(*room.live, form.doseState(), 2, QStringLiteral("3.10"), QStringLiteral("30"), QStringLiteral("61"),
                  QStringLiteral("0815"));
        QCOMPARE(room.live.send({room.mammogram(QStringLiteral("0815"), second, 'L', "CC", 2)}), 0);
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 2; }, 8000));
        for (int n = 1; n <= 2; ++n)
            QVERIFY(dv->image(n).sopInstanceUid.startsWith(second + QLatin1Char('.')));
        QCOMPARE(dv->image(2).caption, QStringLiteral("30 kV · 61 mAs · 3.10 cGy·cm²"));
    }

    // With another patient's study on screen the view stays: the arrival is announced
    // and the examination's patient marked in the list. With the live view off, nothing
    // is announced either.
    void theOperatorsChoiceWins()
    {
        Room room;
        QVERIFY(room.ready());
        PanelHost host(*room.live, std::function<void(MainForm &)>());
        MainForm &form = *host.form;
        auto *dv = form.viewer().viewerPane()->findChild<ViewerWidget *>();
        auto *patients = form.findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
        auto *studies = form.findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
        // Another patient's study, open on screen.
        const QString other = newStudy();
        QCOMPARE(room.live.send({room.mammogram(QStringLiteral("555"), other, 'R', "CC", 1)}), 0);
        QVERIFY(waitUntil([&] { return !patients->findItems("555", Qt::MatchExactly, 0).isEmpty(); }, 8000));
        clickRow(patients, QStringLiteral("555"));
        QCOMPARE(studies->topLevelItemCount(), 1);
        QTest::mouseClick(studies->viewport(), Qt::LeftButton, {},
                          studies->visualItemRect(studies->topLevelItem(0)).center());
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 1; }, 8000));

        const QString study = newStudy();
        openExamination(form, study);
        QCOMPARE(room.live.send({room.mammogram(LivePatient, study, 'R', "CC", 1)}), 0);
        QVERIFY(waitUntil([&] { return form.browser().isMarked(LivePatient); }, 8000));
        QVERIFY(form.statusBar()->currentMessage().contains(QStringLiteral("New images for SMITH, ANN (4711)")));
        QCOMPARE(form.selection().patId1(), QStringLiteral("555"));
        QCOMPARE(form.selection().studyUid(), other);
        QCOMPARE(dv->count(), 1);
        QCOMPARE(dv->image(1).sopInstanceUid, other + QStringLiteral(".1.1"));
        QCOMPARE(studies->topLevelItemCount(), 1);

        // Picked, the mark goes.
        clickRow(patients, LivePatient);
        QVERIFY(!form.browser().isMarked(LivePatient));
        QCOMPARE(form.selection().patId1(), LivePatient);

        // The live view off: the next image is listed, not shown.
        form.live().setEnabled(false);
        QCOMPARE(room.live.station->settingsStore().readValue(QStringLiteral("General/LiveView"), QString()),
                 QStringLiteral("0"));
        clickRow(patients, QStringLiteral("555"));
        QTest::mouseClick(studies->viewport(), Qt::LeftButton, {},
                          studies->visualItemRect(studies->topLevelItem(0)).center());
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 1 && form.selection().studyUid() == other; }, 8000));
        form.statusBar()->clearMessage();
        QCOMPARE(room.live.send({room.mammogram(LivePatient, study, 'L', "CC", 2)}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(kit::count(*room.live, "SELECT COUNT(*) FROM tblImages"), qint64(3), 8000);
        QTest::qWait(500);
        QCOMPARE(form.selection().studyUid(), other);
        QVERIFY(form.statusBar()->currentMessage().isEmpty());
    }

    // The data manager killed right after its commit, before its notice: the lists'
    // timer finds the batch and the image is shown all the same.
    void aLostNoticeIsCaughtByTheTimer()
    {
        Room room;
        QVERIFY(room.ready());
        kit::terminateChild(*room.dataManager);
        QProcessEnvironment env = room.live.environment();
        env.insert(QStringLiteral("CALVAREX_CRASH_AT"), QStringLiteral("DataMgr notice"));
        room.dataManager = std::make_unique<QProcess>();
        room.dataManager->setProcessEnvironment(env);
        room.dataManager->start(Companions::executablePath(Companions::dataManagerName()), {});
        QVERIFY(room.dataManager->waitForStarted(10000));

        PanelHost host(*room.live, std::function<void(MainForm &)>());
        MainForm &form = *host.form;
        auto *dv = form.viewer().viewerPane()->findChild<ViewerWidget *>();
        const QString study = newStudy();
        openExamination(form, study);
        QElapsedTimer t;
        t.start();
        QCOMPARE(room.live.send({room.mammogram(LivePatient, study, 'R', "CC", 1)}), 0);
        QVERIFY(room.dataManager->waitForFinished(15000));
        QCOMPARE(room.dataManager->exitStatus(), QProcess::CrashExit); // killed at the notice
        QCOMPARE(kit::count(*room.live, "SELECT COUNT(*) FROM tblImages"), qint64(1));
        QVERIFY(waitUntil([&] { return dv->loadedCount() == 1; }, 15000));
        QCOMPARE(dv->image(1).sopInstanceUid, study + QStringLiteral(".1.1"));
        QCOMPARE(form.selection().patId1(), LivePatient);
    }
};

QTEST_MAIN(TestLive)
#include "test_live.moc"
