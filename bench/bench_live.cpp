// The live examination view: how long after its C-STORE response an image is painted in
// the viewer of the open examination.
//   arrival_to_screen_ms  eight 14-bit full-field mammograms (3328 x 4096) sent one by
//                         one with storescu to TqReceiver, filed by TqDataMgr, announced
//                         to the whole main window (offscreen); the median from the
//                         C-STORE response (storescu's verbose line) to the paint of the
//                         viewer that shows the image, with the split: filing (until
//                         the image's row can be read), notice (until the lists took the
//                         batch in), load (until the viewer paints it, read and rendered) and
//                         paint.
#include "../tests/companions/CompanionTestKit.h"
#include "BenchSupport.h"
#include "PanelHost.h"
#include "StoreFixture.h"
#include "core/Companions.h"
#include "dicom/WorklistQuery.h"
#include "store/ViewerWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

const QStringList Measures{QStringLiteral("arrival_to_screen_ms")};
const QString LivePatient = QStringLiteral("4711");
constexpr int Images = 8;

// Records when the viewer was painted with image n loaded: the paint is done here, in
// the filter, so the time is taken after it.
class PaintClock : public QObject {
public:
    PaintClock(ViewerWidget *dv, const QElapsedTimer &clock) : m_dv(dv), m_clock(clock) {}
    int waitingFor = 0;
    qint64 readyAt = -1;   // the paint began with the picture read and rendered
    qint64 paintedAt = -1; // and ended

protected:
    bool eventFilter(QObject *obj, QEvent *e) override
    {
        if (obj != m_dv || e->type() != QEvent::Paint || m_busy)
            return false;
        const bool shows = waitingFor > 0 && paintedAt < 0 && m_dv->count() >= waitingFor
                           && m_dv->image(waitingFor).loaded() && !m_dv->cellRect(waitingFor).isEmpty();
        if (shows)
            readyAt = m_clock.elapsed();
        m_busy = true;
        static_cast<QObject *>(m_dv)->event(e);
        m_busy = false;
        if (shows)
            paintedAt = m_clock.elapsed();
        return true;
    }

private:
    ViewerWidget *m_dv;
    const QElapsedTimer &m_clock;
    bool m_busy = false;
};

double arrivalToScreen()
{
    kit::LiveStation live(freeTcpPort());
    auto receiver = live.startChild(Companions::receiverName());
    auto dataManager = live.startChild(Companions::dataManagerName());
    if (!live.waitForReceiver() || !live.waitForDataManager())
        qFatal("the companions did not start");

    QTemporaryDir dir;
    const QString study = QStringLiteral("1.2.826.0.1.3680043.2.1125.77.1");
    QStringList files, uids;
    const QList<std::pair<char, QString>> views{{'R', "CC"}, {'L', "CC"}, {'R', "MLO"}, {'L', "MLO"}};
    for (int i = 0; i < Images; ++i) {
        StoreFixture::Mammogram m;
        m.size = QSize(3328, 4096);
        m.patientId = LivePatient;
        m.patientName = QStringLiteral("SMITH^ANN");
        m.studyUid = study;
        m.seriesUid = study + QStringLiteral(".1");
        m.sopUid = study + QStringLiteral(".1.") + QString::number(i + 1);
        m.laterality = views[i % 4].first;
        m.view = views[i % 4].second;
        m.instanceNumber = i + 1;
        m.seed = quint32(i + 1);
        files << dir.filePath(QStringLiteral("mg%1.dcm").arg(i + 1));
        uids << m.sopUid;
        StoreFixture::writeMammogram(files.last(), m);
    }

    PanelHost host(*live, std::function<void(MainForm &)>());
    MainForm &form = *host.form;
    WorklistEntry e;
    e.columns[WorklistEntry::PatientId] = LivePatient;
    e.columns[WorklistEntry::GivenName] = QStringLiteral("ANN");
    e.columns[WorklistEntry::FamilyName] = QStringLiteral("SMITH");
    e.columns[WorklistEntry::BirthDate] = QStringLiteral("1960-12-31");
    form.doseState().takeWorklistPatient(e);
    dicom::WorklistAnswer answer;
    answer.patientId = LivePatient;
    answer.studyUid = study;
    emit form.doseState().worklistAnswerTaken(answer);
    form.doseState().setStudyOpen(true);

    auto *dv = form.viewer().viewerPane()->findChild<ViewerWidget *>();
    QElapsedTimer clock;
    clock.start();
    PaintClock paint(dv, clock);
    dv->installEventFilter(&paint);
    qint64 takenAt = -1;
    QObject::connect(&form.browser(), &BrowserPanel::arrivalsTaken, [&] {
        if (takenAt < 0)
            takenAt = clock.elapsed();
    });

    // When each image's row can be read, from a connection of its own.
    std::atomic<int> wantedRows{0};
    std::atomic<qint64> filedAt{-1};
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-poll"));
            db.setDatabaseName(live->paths().dataDb());
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5"));
            if (db.open()) {
                QSqlQuery q(db);
                while (!stop) {
                    const int wanted = wantedRows;
                    if (wanted > 0 && filedAt < 0 && q.exec(QStringLiteral("SELECT COUNT(*) FROM tblImages"))
                        && q.next() && q.value(0).toInt() >= wanted)
                        filedAt = clock.elapsed();
                    q.finish();
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench-poll"));
    });

    QList<double> total, filing, notice, load, painting;
    for (int i = 0; i < Images; ++i) {
        paint.waitingFor = i + 1;
        paint.paintedAt = paint.readyAt = -1;
        takenAt = -1;
        filedAt = -1;
        wantedRows = i + 1;
        qint64 responseAt = -1;
        QProcess sender;
        sender.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray said;
        QObject::connect(&sender, &QProcess::readyRead, [&] {
            said += sender.readAll();
            if (responseAt < 0 && said.contains("Received Store Response"))
                responseAt = clock.elapsed();
        });
        sender.start(QStringLiteral("storescu"), {QStringLiteral("-v"), QStringLiteral("-aec"), live.aeTitle,
                                                  QStringLiteral("127.0.0.1"), QString::number(live.port), files[i]});
        QElapsedTimer wait;
        wait.start();
        while (paint.paintedAt < 0 && wait.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        sender.waitForFinished(10000);
        if (paint.paintedAt < 0 || responseAt < 0)
            qFatal("image %d was not shown (response %lld, filed %lld, taken %lld)", i + 1, responseAt, qint64(filedAt),
                   takenAt);
        if (dv->image(i + 1).sopInstanceUid != uids[i])
            qFatal("image %d is not the one sent", i + 1);
        const qint64 filed = filedAt;
        total << double(paint.paintedAt - responseAt);
        filing << double(filed - responseAt);
        notice << double(takenAt - filed);
        load << double(paint.readyAt - takenAt);
        painting << double(paint.paintedAt - paint.readyAt);
        std::fprintf(stderr, "note: image %d: %lld ms (filing %lld, notice %lld, load %lld, paint %lld)\n", i + 1,
                     paint.paintedAt - responseAt, filed - responseAt, takenAt - filed, paint.readyAt - takenAt,
                     paint.paintedAt - paint.readyAt);
        // The radiographer positions the next view meanwhile.
        QElapsedTimer pause;
        pause.start();
        while (pause.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    stop = true;
    poller.join();
    std::fprintf(stderr, "note: median split: filing %.0f ms, notice %.0f ms, load %.0f ms, paint %.0f ms\n",
                 median(filing), median(notice), median(load), median(painting));
    kit::terminateChild(*receiver);
    kit::terminateChild(*dataManager);
    return median(total);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int exitCode = 0;
    const std::optional<QStringList> asked = wantedMeasures(app.arguments().mid(1), Measures, &exitCode);
    if (!asked)
        return exitCode;
    if (asked->contains(QStringLiteral("arrival_to_screen_ms")))
        std::printf("BENCH arrival_to_screen_ms %.0f ms\n", arrivalToScreen());
    std::fflush(stdout);
    return 0;
}
