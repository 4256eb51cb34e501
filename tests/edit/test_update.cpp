// The update: tasks applied to the loaded images, the rest of the study and the
// patient, refiled by the real data manager; refusals and cut-off runs leave the store
// as it was or complete it at the next start.
#include "../companions/CompanionTestKit.h"
#include "RecordingProgress.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "core/AppError.h"
#include "core/Audit.h"
#include "core/AuditTrail.h"
#include "core/Companions.h"
#include "core/SecuritySettings.h"
#include "dicom/Image.h"
#include "edit/StudyUpdate.h"
#include "edit/Task.h"

#include <QtTest>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

Task task(const QString &level, const QString &tag, int type, const QString &target)
{
    Task t;
    t.level = level;
    t.source = tag + QStringLiteral(" - element");
    t.type = type;
    t.task = Task::typeText(type);
    t.target = type == Task::Change ? target : target + QStringLiteral(" - element");
    return t;
}

// A patient with a two-series study of four mammograms and a second study of one.
struct Env {
    kit::LiveStation live{freeTcpPort()};
    StoreFixture fx{*live};
    qint64 patId = 0;
    StoreFixture::StudyMade a, b;

    Env()
    {
        patId = fx.addPatient(QStringLiteral("P1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
        a = fx.addStudyWithImages(patId, 4, QSize(64, 80), 2);
        b = fx.addStudyWithImages(patId, 1, QSize(64, 80), 1);
    }
    Station &st() { return *live; }

    StudyUpdate::Loaded series1() const
    {
        return {QStringLiteral("Serie"), patId, a.studyId, a.studyUid, a.seriesId, {a.files[0], a.files[1]}};
    }
    StudyUpdate::Loaded studyA() const { return {QStringLiteral("Studie"), patId, a.studyId, a.studyUid, 0, a.files}; }

    QStringList imageUids()
    {
        QStringList out;
        Database db = Database::openData(st().paths());
        QSqlQuery q = db.exec(QStringLiteral("SELECT ImageUID FROM tblImages ORDER BY ImageUID"));
        while (q.next())
            out << q.value(0).toString();
        return out;
    }
    QStringList runFolders() const
    {
        return QDir(live.station->paths().binDir()).entryList({StudyUpdate::RunPrefix + QLatin1Char('*')}, QDir::Dirs);
    }
    QStringList inputFiles() const { return QDir(live.station->paths().tempDir()).entryList(QDir::Files); }

    // The real data manager files the input folder until it holds nothing more.
    bool refile(int expectedImages)
    {
        auto mgr = live.startChild(QStringLiteral("TqDataMgr"));
        const bool done = waitUntil(
            [&] {
                return inputFiles().isEmpty()
                       && kit::count(st(), QStringLiteral("SELECT COUNT(*) FROM tblImages")) == expectedImages;
            },
            30000);
        kit::terminateChild(*mgr);
        return done;
    }
    // Every file of the store, read by dcmdump.
    QStringList unreadableFiles()
    {
        QStringList bad;
        for (const QString &rel : kit::storeFiles(st())) {
            const QString f = st().paths().imagesDir() + QLatin1Char('/') + rel;
            if (kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("-q"), f}) != 0)
                bad << rel;
        }
        return bad;
    }
    std::unique_ptr<dicom::Image> imageOf(const QString &sop)
    {
        Database db = Database::openData(st().paths());
        const QString study =
            db.scalar(QStringLiteral(
                          "SELECT st.StudyUID FROM tblImages i INNER JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                          " INNER JOIN tblStudies st ON se.FKeyStudyID = st.StudyID WHERE i.ImageUID = ?"),
                      {sop})
                .toString();
        return dicom::Image::readFile(st().paths().imageFile(study, sop));
    }
    std::vector<std::unique_ptr<dicom::Image>> allImages()
    {
        std::vector<std::unique_ptr<dicom::Image>> out;
        for (const QString &uid : imageUids())
            out.push_back(imageOf(uid));
        return out;
    }
};

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT
private slots:
    void levels_data()
    {
        QTest::addColumn<QString>("level");
        QTest::newRow("image") << "image";
        QTest::newRow("series") << "series";
        QTest::newRow("study") << "study";
        QTest::newRow("patient") << "patient";
        // A UID changed at a lower level than its own changes it for the whole study or
        // series: nothing is split from the rest.
        QTest::newRow("study uid at an image") << "study uid at image";
        QTest::newRow("series uid at an image of a study") << "series uid at image";
    }

    void levels()
    {
        QFETCH(QString, level);
        Env env;
        const QStringList before = env.imageUids();
        QCOMPARE(before.size(), 5);
        QStringList seriesBefore;
        for (const QString &sop : env.a.sopUids)
            seriesBefore << *env.imageOf(sop)->value(0x0020, 0x000E);
        RecordingProgress progress;
        StudyUpdate update(env.st(), progress);
        if (level == QLatin1String("image")) {
            update.run(
                {task(QStringLiteral("Image #2"), QStringLiteral("0018,5101"), Task::Change, QStringLiteral("LMLO"))},
                env.series1());
        } else if (level == QLatin1String("series")) {
            update.run(
                {task(QStringLiteral("Series"), QStringLiteral("0020,000E"), Task::Change, QStringLiteral("1.2.3"))},
                env.series1());
        } else if (level == QLatin1String("study")) {
            update.run(
                {task(QStringLiteral("Study"), QStringLiteral("0008,0018"), Task::Change, QStringLiteral("1.2.3")),
                 task(QStringLiteral("Study"), QStringLiteral("0020,000D"), Task::Change, QStringLiteral("1.2.4"))},
                env.studyA());
        } else if (level == QLatin1String("study uid at image")) {
            update.run(
                {task(QStringLiteral("Image #2"), QStringLiteral("0020,000D"), Task::Change, QStringLiteral("1.2.6"))},
                env.studyA());
        } else if (level == QLatin1String("series uid at image")) {
            update.run(
                {task(QStringLiteral("Image #1"), QStringLiteral("0020,000E"), Task::Change, QStringLiteral("1.2.7"))},
                env.studyA());
        } else {
            // Switch is not idempotent: applied twice it would undo itself.
            update.run(
                {task(QStringLiteral("Patient"), QStringLiteral("0010,0010"), Task::Switch,
                      QStringLiteral("0010,1001")),
                 task(QStringLiteral("Patient"), QStringLiteral("0010,0010"), Task::Change, QStringLiteral("Roe^Ann")),
                 task(QStringLiteral("Patient"), QStringLiteral("0020,000D"), Task::Change, QStringLiteral("1.2.5"))},
                env.series1());
        }
        QVERIFY2(env.runFolders().isEmpty(), qPrintable(env.runFolders().join(' ')));
        QVERIFY(progress.text.contains(QStringLiteral("Moving images to input folder ... OK")));
        QVERIFY2(env.refile(5), qPrintable(progress.text));

        const QStringList after = env.imageUids();
        QCOMPARE(QSet<QString>(after.begin(), after.end()).size(), 5);
        QCOMPARE(kit::storeProblems(env.st()), QStringList());
        QCOMPARE(env.unreadableFiles(), QStringList());
        QVERIFY(env.runFolders().isEmpty());
        const auto images = env.allImages();
        QSet<QString> studies, series;
        for (const auto &im : images) {
            studies << *im->value(0x0020, 0x000D);
            series << *im->value(0x0020, 0x000E);
        }
        const qint64 studyRows = kit::count(env.st(), QStringLiteral("SELECT COUNT(*) FROM tblStudies"));
        const qint64 seriesRows = kit::count(env.st(), QStringLiteral("SELECT COUNT(*) FROM tblSeries"));
        QCOMPARE(studyRows, 2);
        QCOMPARE(studies.size(), 2);
        QCOMPARE(seriesRows, 3);
        QCOMPARE(series.size(), 3);

        if (level == QLatin1String("image")) {
            QCOMPARE(after, before);
            QCOMPARE(*env.imageOf(env.a.sopUids[1])->value(0x0018, 0x5101), QStringLiteral("LMLO"));
            QVERIFY(*env.imageOf(env.a.sopUids[0])->value(0x0018, 0x5101) != QStringLiteral("LMLO"));
        } else if (level == QLatin1String("series")) {
            QCOMPARE(after, before);
            const QString s0 = *env.imageOf(env.a.sopUids[0])->value(0x0020, 0x000E);
            QCOMPARE(*env.imageOf(env.a.sopUids[1])->value(0x0020, 0x000E), s0);
            QVERIFY(s0 != QStringLiteral("1.2.3"));
        } else if (level == QLatin1String("study")) {
            // Every image of the study a SOP UID of its own; the other study untouched.
            QCOMPARE(QSet<QString>(after.begin(), after.end())
                         & QSet<QString>(env.a.sopUids.begin(), env.a.sopUids.end()),
                     QSet<QString>());
            QVERIFY(after.contains(env.b.sopUids[0]));
            QVERIFY(!studies.contains(env.a.studyUid));
            QVERIFY(studies.contains(env.b.studyUid));
            for (const auto &im : images)
                QCOMPARE(*im->value(0x0002, 0x0003), im->sopInstanceUid());
        } else if (level == QLatin1String("study uid at image")) {
            QCOMPARE(after, before);
            QVERIFY(!studies.contains(env.a.studyUid));
            const QString newStudy = *env.imageOf(env.a.sopUids[1])->value(0x0020, 0x000D);
            for (const QString &sop : env.a.sopUids)
                QCOMPARE(*env.imageOf(sop)->value(0x0020, 0x000D), newStudy);
        } else if (level == QLatin1String("series uid at image")) {
            QCOMPARE(after, before);
            // Images 1 and 2 share a series, 3 and 4 the other one, which stays.
            QCOMPARE(seriesBefore[1], seriesBefore[0]);
            QCOMPARE(seriesBefore[3], seriesBefore[2]);
            const QString first = *env.imageOf(env.a.sopUids[0])->value(0x0020, 0x000E);
            const QString second = *env.imageOf(env.a.sopUids[2])->value(0x0020, 0x000E);
            QCOMPARE(*env.imageOf(env.a.sopUids[1])->value(0x0020, 0x000E), first);
            QCOMPARE(*env.imageOf(env.a.sopUids[3])->value(0x0020, 0x000E), second);
            QVERIFY(first != seriesBefore[0]);
            QCOMPARE(second, seriesBefore[2]);
            QCOMPARE(
                kit::count(env.st(), QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE SeriesUID = ?"), {second}),
                1);
            QCOMPARE(
                kit::count(env.st(), QStringLiteral("SELECT COUNT(*) FROM tblSeries WHERE SeriesUID = ?"), {first}), 1);
        } else {
            QCOMPARE(after, before);
            QVERIFY(!studies.contains(env.a.studyUid) && !studies.contains(env.b.studyUid));
            for (const auto &im : images) {
                QCOMPARE(*im->value(0x0010, 0x0010), QStringLiteral("Roe^Ann"));
                QCOMPARE(*im->value(0x0010, 0x1001), QStringLiteral("Doe^Jane"));
            }
        }
    }

    // Switch writes the raw values: both pixel spacing values survive.
    void switchKeepsEveryValue()
    {
        Env env;
        const QString mr = kit::testFile(QStringLiteral("MR_small.dcm"));
        if (!QFileInfo::exists(mr))
            CALVAREX_MISSING("pydicom test files missing");
        const qint64 pat = env.fx.addPatient(QStringLiteral("P2"), QStringLiteral("Mr"), QStringLiteral("Small"));
        const QString studyUid = dicom::Image::readFile(mr)->value(0x0020, 0x000D).value();
        const qint64 studyId = env.fx.addStudy(pat, studyUid);
        const qint64 seriesId = env.fx.addSeries(studyId, dicom::Image::readFile(mr)->value(0x0020, 0x000E).value(), 1);
        const QString sop = env.fx.addRealFile(seriesId, studyUid, mr, 1);
        RecordingProgress progress;
        Audit::begin(QStringLiteral("calvarex"), QStringLiteral("MAMMO1"), env.st().paths().logsDir(), {});
        StudyUpdate(env.st(), progress)
            .run(
                {task(QStringLiteral("Study"), QStringLiteral("0028,0030"), Task::Switch, QStringLiteral("0018,1164"))},
                {QStringLiteral("Studie"), pat, studyId, studyUid, 0, {env.st().paths().imageFile(studyUid, sop)}});
        Audit::end();
        // The audit trail names the edit: the study's instances updated.
        QStringList updated;
        for (const AuditTrail::Entry &e :
             AuditTrail::readLog(QDir(env.st().paths().logsDir()).filePath(QStringLiteral("audit.log")))) {
            const Audit::Summary s = Audit::summarize(e.xml);
            if (s.event == QLatin1String("110103") && s.action == QLatin1String("U"))
                updated << s.objects;
        }
        QVERIFY2(updated.contains(studyUid), qPrintable(updated.join(' ')));
        QVERIFY(env.refile(6));
        QString dump;
        kit::runTool(QStringLiteral("dcmdump"),
                     {QStringLiteral("+P"), QStringLiteral("0018,1164"), env.st().paths().imageFile(studyUid, sop)},
                     &dump);
        QVERIFY2(dump.contains(QStringLiteral("[0.3125\\0.3125]")), qPrintable(dump));
        QVERIFY(!env.imageOf(sop)->exists(0x0028, 0x0030) || !env.imageOf(sop)->value(0x0028, 0x0030));
    }

    // The rewritten images are filed by the data manager: one that is not running is
    // started and the operator hears so; one that cannot start is named with where the
    // images wait.
    void dataManagerStartedForTheUpdate()
    {
        Env env;
        QVERIFY(!Companions::RefreshCompanionStatus(env.st()).dataManagerAlive);
        const QString started = Companions::ensureDataManager(env.st());
        QVERIFY2(started.contains(QStringLiteral("was not running and has been started")), qPrintable(started));
        QVERIFY(Companions::RefreshCompanionStatus(env.st()).dataManagerAlive);
        QCOMPARE(Companions::ensureDataManager(env.st()), QString());
        Companions::StopDataManager(env.st());
        QVERIFY(waitUntil([&] { return !Companions::RefreshCompanionStatus(env.st()).dataManagerAlive; }, 10000));

        QTemporaryDir empty;
        const QByteArray binDir = qgetenv("CALVAREX_BIN_DIR");
        qputenv("CALVAREX_BIN_DIR", QFile::encodeName(empty.path()));
        const QString failed = Companions::ensureDataManager(env.st());
        if (binDir.isEmpty())
            qunsetenv("CALVAREX_BIN_DIR");
        else
            qputenv("CALVAREX_BIN_DIR", binDir);
        QVERIFY2(failed.contains(QStringLiteral("could not be started")) && failed.contains(env.st().paths().tempDir()),
                 qPrintable(failed));
    }

    // Refused before anything is deleted: the store, the input folder and the staging
    // folder are as they were.
    void refusals_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("message");
        QTest::newRow("date") << "date"
                              << "not a date";
        QTest::newRow("name into a UID") << "uid"
                                         << "a UID cannot be moved or switched";
        QTest::newRow("image 3 of 2") << "image3"
                                      << "the viewer holds no such image";
        QTest::newRow("input folder refuses") << "input"
                                              << "takes no files";
        QTest::newRow("nothing loaded") << "none"
                                        << "No study or series is loaded";
    }
    void refusals()
    {
        QFETCH(QString, what);
        QFETCH(QString, message);
        Env env;
        const QStringList before = env.imageUids();
        const QSet<QString> filesBefore = kit::storeFiles(env.st());
        const QByteArray bytes = kit::bytes(env.a.files[0]);
        QList<Task> tasks{
            task(QStringLiteral("Study"), QStringLiteral("0010,0010"), Task::Change, QStringLiteral("Roe^Ann"))};
        StudyUpdate::Loaded loaded = env.series1();
        if (what == QLatin1String("date"))
            tasks << task(QStringLiteral("Study"), QStringLiteral("0008,0020"), Task::Change,
                          QStringLiteral("yesterday"));
        else if (what == QLatin1String("uid"))
            tasks << task(QStringLiteral("Series"), QStringLiteral("0010,0010"), Task::Move,
                          QStringLiteral("0008,1155"));
        else if (what == QLatin1String("image3"))
            tasks << task(QStringLiteral("Image #3"), QStringLiteral("0008,0020"), Task::Change,
                          QStringLiteral("20250101"));
        else if (what == QLatin1String("none"))
            loaded.loadLevel.clear();
        const QString temp = env.st().paths().tempDir();
        if (what == QLatin1String("input")) {
            // A folder root may write into whatever its mode: a file in its place.
            QDir(temp).removeRecursively();
            QFile f(temp);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        RecordingProgress progress;
        try {
            StudyUpdate(env.st(), progress).run(tasks, loaded);
            QFAIL("the update went through");
        } catch (const AppError &e) {
            QVERIFY2(e.description().contains(message), qPrintable(e.description()));
        }
        QCOMPARE(env.imageUids(), before);
        QCOMPARE(kit::storeFiles(env.st()), filesBefore);
        QCOMPARE(kit::bytes(env.a.files[0]), bytes);
        QVERIFY(env.runFolders().isEmpty());
        if (what != QLatin1String("input"))
            QVERIFY(env.inputFiles().isEmpty());
    }

    // A run killed before the deletion changes nothing; one killed after it is
    // completed at the next start.
    void killedMidway_data()
    {
        QTest::addColumn<QString>("at");
        QTest::addColumn<bool>("edited");
        QTest::newRow("staged") << "staged" << false;
        QTest::newRow("marked") << "marked" << false;
        QTest::newRow("deleted") << "deleted" << true;
    }
    void killedMidway()
    {
        QFETCH(QString, at);
        QFETCH(bool, edited);
        Env env;
        const QStringList before = env.imageUids();
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            RecordingProgress progress;
            StudyUpdate update(env.st(), progress);
            update.stageHook = [&](const QString &stage) {
                if (stage == at)
                    ::raise(SIGKILL);
            };
            try {
                update.run({task(QStringLiteral("Study"), QStringLiteral("0010,0010"), Task::Change,
                                 QStringLiteral("Roe^Ann"))},
                           env.studyA());
            } catch (...) {
            }
            ::_exit(3);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        QCOMPARE(env.runFolders().size(), 1);

        // The next start.
        StudyUpdate::recover(env.st().paths(), env.st().log());
        QVERIFY(env.runFolders().isEmpty());
        QVERIFY2(env.inputFiles().size() == (edited ? 5 : 0), qPrintable(env.inputFiles().join(QLatin1Char(' '))));
        QVERIFY(env.refile(5));
        QCOMPARE(env.imageUids(), before);
        QCOMPARE(kit::storeProblems(env.st()), QStringList());
        // A name is a patient's: both studies take it.
        for (const QString &sop : before)
            QCOMPARE(*env.imageOf(sop)->value(0x0010, 0x0010),
                     edited ? QStringLiteral("Roe^Ann") : QStringLiteral("Doe^Jane"));
    }

    void customWindow_data()
    {
        QTest::addColumn<QString>("width");
        QTest::addColumn<QString>("center");
        QTest::addColumn<bool>("written");
        QTest::newRow("400/40") << "400"
                                << "40" << true;
        QTest::newRow("letters") << "wide"
                                 << "40" << false;
        QTest::newRow("width 0") << "0"
                                 << "40" << false;
    }
    void customWindow()
    {
        QFETCH(QString, width);
        QFETCH(QString, center);
        QFETCH(bool, written);
        Env env;
        env.st().settings().autoWindow = 1;
        env.st().settings().computeWindow = 0;
        env.st().settings().customWidth = width;
        env.st().settings().customCenter = center;
        const auto old = env.imageOf(env.a.sopUids[0])->storedWindow();
        RecordingProgress progress;
        const auto r = StudyUpdate(env.st(), progress).run({}, env.series1());
        QCOMPARE(r.windowSkipped.isEmpty(), written);
        QVERIFY(env.refile(5));
        for (int i : {0, 1}) {
            const auto w = env.imageOf(env.a.sopUids[i])->storedWindow();
            QVERIFY(w);
            if (written) {
                QCOMPARE(w->first, 40.0);
                QCOMPARE(w->second, 400.0);
            } else if (i == 0) {
                QCOMPARE(*w, *old);
            }
        }
        if (!written)
            QVERIFY(kit::readAll(env.st().paths().logsDir() + QStringLiteral("/Error.log"))
                        .contains(QStringLiteral("custom window")));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "test_update.moc"
