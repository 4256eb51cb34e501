// Filling the header list for a 300-element filter on a full-field mammogram (27 MB),
// against DCMTK's dcmdump printing the same file.
// Measure: header_fill (ms, median of 7; baseline = dcmdump of the file, median of 7).
#include "BenchSupport.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "core/Database.h"
#include "edit/EditSession.h"
#include "edit/HeaderPanel.h"
#include "edit/ModalityFilters.h"
#include "store/StoreSelection.h"
#include "ui/MainHooks.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Runs = 7;

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    if (!wanted.isEmpty() && !wanted.contains(QStringLiteral("header_fill")))
        return 0;

    TestStation ts;
    StoreFixture::Mammogram m;
    m.size = QSize(3328, 4096);
    m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7.2");
    m.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7.2.1");
    m.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7.2.1.1");
    const QString file = ts.root() + QStringLiteral("/mammo.dcm");
    StoreFixture::writeMammogram(file, m);

    // 300 tags: the dictionary's first ones, the image's own among them.
    ModalityFilters filters(ts->paths());
    filters.create(QStringLiteral("MG"));
    {
        Database db = Database::openUser(ts->paths());
        db.exec(QStringLiteral("UPDATE tblDictionary SET \"MG\" = -1 WHERE \"Index\" IN "
                               "(SELECT \"Index\" FROM tblDictionary WHERE Tag < '0030' ORDER BY Tag LIMIT 300)"));
    }
    ts->settings().filterActive = QStringLiteral("MG");

    QWidget parent;
    StoreSelection selection;
    EditSession edits;
    MainHooks hooks;
    HeaderPanel panel(*ts, selection, edits, hooks, &parent);
    MainHooks::run(hooks.loadModFilter);
    if (panel.state().filterSet().size() != 300) {
        std::fprintf(stderr, "filter holds %zu tags\n", panel.state().filterSet().size());
        return 1;
    }

    std::vector<double> fills, dumps;
    for (int i = 0; i < Runs; ++i) {
        selection.clearCurrentImage();
        QElapsedTimer t;
        t.start();
        selection.setCurrentImage(1, file);
        fills.push_back(double(t.nsecsElapsed()) / 1e6);
        if (panel.view()->topLevelItemCount() != 300) {
            std::fprintf(stderr, "list holds %d rows\n", panel.view()->topLevelItemCount());
            return 1;
        }

        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        t.restart();
        p.start(QStringLiteral("dcmdump"), {file});
        p.waitForFinished(60000);
        dumps.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    const double value = median(fills), baseline = median(dumps);
    std::printf("BENCH header_fill %.2f ms baseline=%.2f ratio=%.3f\n", value, baseline, value / baseline);
    std::printf("# file %.1f MB\n", QFileInfo(file).size() / 1e6);
    return 0;
}
