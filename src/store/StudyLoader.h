#pragma once
#include "store/ViewerImage.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QList>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// Renders the files of a study load off the window's thread, so the viewer stays
// responsive: a few workers take the files in order, and each picture is handed to the
// window's thread as it is ready. Only pictures at cell size travel; the full-resolution
// pixels stay inside the renderer.
class StudyLoader : public QObject {
    Q_OBJECT
public:
    // Reads and renders one file; throws AppError (or any std::exception) when it cannot.
    using RenderFn = std::function<ViewerImage(const QString &path, const QSize &maxSize)>;

    // One file to load; a non-empty error means it is refused before it is read (a UID
    // that cannot name a file).
    struct Item {
        QString path;
        QString error;
    };

    explicit StudyLoader(RenderFn render, QObject *parent = nullptr);
    ~StudyLoader() override;

    // Starts a load (a running one is cancelled first). Image numbers start at 1.
    void start(const QList<Item> &items, const QSize &maxSize, int workers = 0);
    // Stops handing out files; pictures of the cancelled load are no longer delivered.
    void cancel();
    bool isRunning() const { return m_running; }

    // The renderer the station uses (DCMTK behind the DICOM layer).
    static RenderFn defaultRender();

signals:
    void imageReady(int number, const ViewerImage &image);
    // After the first failure no further files are started.
    void imageFailed(int number, const QString &path, long errorNumber, const QString &description);
    void finished(int loaded, int failed);

private:
    struct Job;
    void reapThreads(bool all);

    RenderFn m_render;
    std::shared_ptr<Job> m_job;
    std::vector<std::pair<std::shared_ptr<Job>, std::thread>> m_threads;
    quint64 m_generation = 0;
    bool m_running = false;
    int m_loaded = 0;
    int m_failed = 0;
};
