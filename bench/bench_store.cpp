// Speed and memory of the store browser: the patient list with 10,000 patients, and with
// 100,000 against 10,000 in the same run (time until shown); a study of eight full-field
// mammograms loaded into the viewer.
//
//   bench_store [--list] [patient_list_10k] [patient_list_100k] [study_load_per_image]
//               [study_load_peak_memory] [study_load_j2k_per_image]
#include "BenchSupport.h"
#include "PanelHost.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "dicom/J2kCodec.h"
#include "store/BrowserPanel.h"
#include "store/StoreDeleteCommands.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/CommandIds.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

const QStringList Measures = {QStringLiteral("patient_list_10k"), QStringLiteral("patient_list_100k"),
                              QStringLiteral("study_load_per_image"), QStringLiteral("study_load_peak_memory"),
                              QStringLiteral("study_load_j2k_per_image")};

void bench(const QString &name, double value, const QString &unit, double baseline = -1)
{
    QString line = QStringLiteral("BENCH %1 %2 %3").arg(name).arg(value, 0, 'f', 2).arg(unit);
    if (baseline > 0)
        line += QStringLiteral(" baseline=%1 ratio=%2").arg(baseline, 0, 'f', 2).arg(value / baseline, 0, 'f', 3);
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Resident set size and its high-water mark of this process, in kB.
qint64 statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

struct ListTimes {
    double shown = 0;    // the list painted with its first rows, ready for the operator
    double complete = 0; // every patient taken in
};

// The patient list refreshed (Cmd::RefreshList, painted) with n patients: the median of
// five runs, in ms, until it is shown and until the last page is in.
ListTimes patientListMs(int n)
{
    TestStation ts;
    {
        Database db = Database::openData(ts->paths());
        Transaction t(db);
        QSqlQuery q(db.db());
        q.prepare(QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum) "
                                 "VALUES (?, ?, ?, ?, ?)"));
        for (int i = 0; i < n; ++i) {
            q.bindValue(0, QStringLiteral("PID%1").arg(i, 6, 10, QLatin1Char('0')));
            q.bindValue(1, QStringLiteral("Lastname%1").arg(i));
            q.bindValue(2, QStringLiteral("First%1").arg(i % 97));
            q.bindValue(3, i % 3 ? QVariant() : QVariant(QStringLiteral("Ann")));
            q.bindValue(4, QStringLiteral("19%1-0%2-1%3").arg(40 + i % 60).arg(1 + i % 9).arg(i % 10));
            if (!q.exec())
                qFatal("cannot add the patients");
        }
        t.commit();
    }
    PanelHost h(*ts);
    h.window.show();
    QList<double> shown, complete;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        h.w.commands->run(Cmd::RefreshList);
        h.w.lvPatients->repaint();
        shown << t.nsecsElapsed() / 1e6;
        while (h.browser->patientListFilling() && t.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        complete << t.nsecsElapsed() / 1e6;
        if (h.w.lvPatients->topLevelItemCount() != n)
            qFatal("patient list has %d rows", h.w.lvPatients->topLevelItemCount());
    }
    return {median(shown), median(complete)};
}

void studyLoad(bool perImage, bool peakMemory, bool j2k = false)
{
    TestStation ts;
    StoreFixture fx(*ts);
    const int n = 8;
    const qint64 pat = fx.addPatient(QStringLiteral("MAMMO1"), QStringLiteral("Doe"), QStringLiteral("Jane"));
    const auto made = fx.addStudyWithImages(pat, n, QSize(3328, 4096));
    qint64 totalBytes = 0;
    for (const QString &f : made.files)
        totalBytes += QFileInfo(f).size();

    double baselinePerImage = -1;
    QTemporaryDir streams;
    if (j2k) {
        // The same mammograms as lossless JPEG 2000 (encapsulated, as a modality sends
        // them); baseline: OpenJPEG's opj_decompress on the same code streams, one by one.
        QStringList files;
        for (int i = 0; i < n; ++i) {
            QByteArray stream;
            const QString tmp = made.files[i] + QStringLiteral(".j2k.dcm");
            dicom::writeJ2kLosslessCopy(made.files[i], tmp, &stream);
            QFile::remove(made.files[i]);
            QFile::rename(tmp, made.files[i]);
            QFile out(streams.filePath(QStringLiteral("%1.j2k").arg(i)));
            if (!out.open(QIODevice::WriteOnly) || out.write(stream) != stream.size())
                qFatal("cannot write the code stream");
            files << out.fileName();
        }
        QElapsedTimer t;
        t.start();
        for (const QString &f : files) {
            const int rc =
                QProcess::execute(QStringLiteral("opj_decompress"), {QStringLiteral("-quiet"), QStringLiteral("-i"), f,
                                                                     QStringLiteral("-o"), f + QStringLiteral(".pgm")});
            if (rc != 0)
                qFatal("opj_decompress failed on %s", qPrintable(f));
        }
        baselinePerImage = t.nsecsElapsed() / 1e6 / n;
    } else {
        // Baseline: DCMTK's dcmj2pnm turning the same files into 8-bit images, one by one.
        QTemporaryDir out;
        QElapsedTimer t;
        t.start();
        int i = 0;
        for (const QString &f : made.files) {
            const int rc =
                QProcess::execute(QStringLiteral("dcmj2pnm"),
                                  {QStringLiteral("--quiet"), f, out.filePath(QStringLiteral("%1.pgm").arg(i++))});
            if (rc != 0)
                qFatal("dcmj2pnm failed on %s", qPrintable(f));
        }
        baselinePerImage = t.nsecsElapsed() / 1e6 / n;
    }

    PanelHost h(*ts);
    h.window.resize(1280, 1024);
    h.window.show();
    h.load();
    QCoreApplication::processEvents();
    auto *patient = h.w.lvPatients->topLevelItem(0);
    h.w.lvPatients->setCurrentItem(patient);
    h.browser->patientMouseUp(Qt::LeftButton, h.w.lvPatients->visualItemRect(patient).center());
    auto *study = h.w.lvStudien->topLevelItem(0);
    h.w.lvStudien->setCurrentItem(study);

    const qint64 rssBefore = statusKb("VmRSS:");
    const bool peakReset = resetPeak();
    QEventLoop loop;
    QObject::connect(h.viewer, &ViewerPanel::loadFinished, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    h.browser->studyItemClick(study);
    if (h.viewer->isLoading())
        loop.exec();
    h.w.dv1->repaint(); // the last picture drawn
    const double perImageMs = t.nsecsElapsed() / 1e6 / n;
    const qint64 peakKb = statusKb("VmHWM:");
    if (h.w.dv1->loadedCount() != n)
        qFatal("only %d of %d images loaded", h.w.dv1->loadedCount(), n);

    if (j2k) {
        bench(QStringLiteral("study_load_j2k_per_image"), perImageMs, QStringLiteral("ms"), baselinePerImage);
        return;
    }
    if (perImage)
        bench(QStringLiteral("study_load_per_image"), perImageMs, QStringLiteral("ms"), baselinePerImage);
    if (peakMemory) {
        if (!peakReset)
            std::fprintf(stderr, "note: the peak could not be reset; it includes the files' generation\n");
        std::fprintf(stderr, "note: resident before the load %.1f MB\n", rssBefore / 1024.0);
        bench(QStringLiteral("study_load_peak_memory"), peakKb / 1024.0, QStringLiteral("MB"),
              totalBytes / (1024.0 * 1024.0));
    }
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
    const QStringList &wanted = *asked;
    // Until the list is shown; the time until its last page is in is noted beside it.
    if (wanted.contains(QStringLiteral("patient_list_10k"))) {
        const ListTimes t = patientListMs(10000);
        std::fprintf(stderr, "note: 10,000 patients shown in %.1f ms, all in %.1f ms\n", t.shown, t.complete);
        bench(QStringLiteral("patient_list_10k"), t.shown, QStringLiteral("ms"));
    }
    // The list of 100,000 against that of 10,000: the operator must not wait much longer
    // for a long list, the rest of it comes in while she works.
    if (wanted.contains(QStringLiteral("patient_list_100k"))) {
        const ListTimes small = patientListMs(10000);
        const ListTimes large = patientListMs(100000);
        std::fprintf(stderr,
                     "note: shown: 10,000 patients in %.1f ms, 100,000 in %.1f ms; all in: %.1f ms and %.1f ms "
                     "(%.2f us/patient and %.2f us/patient)\n",
                     small.shown, large.shown, small.complete, large.complete, small.complete * 1000 / 10000,
                     large.complete * 1000 / 100000);
        bench(QStringLiteral("patient_list_100k"), large.shown, QStringLiteral("ms"), small.shown);
    }
    const bool perImage = wanted.contains(QStringLiteral("study_load_per_image"));
    const bool peak = wanted.contains(QStringLiteral("study_load_peak_memory"));
    if (perImage || peak)
        studyLoad(perImage, peak);
    if (wanted.contains(QStringLiteral("study_load_j2k_per_image")))
        studyLoad(true, false, true);
    return 0;
}
