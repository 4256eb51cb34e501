#pragma once
#include "store/ViewerImage.h"

#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
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

    // Starts a load (a running one is cancelled first). Image numbers start at
    // firstNumber (images put in after those already shown start after them).
    void start(const QList<Item> &items, const QSize &maxSize, int workers = 0, int firstNumber = 1);
    // Stops handing out files; pictures of the cancelled load are no longer delivered.
    void cancel();
    bool isRunning() const { return m_running; }

    // The renderer the station uses (DCMTK behind the DICOM layer).
    static RenderFn defaultRender();

    // Reads one file again as the source of an enlarged image's window (its pixels at
    // up to maxSize with their full range of values), on a worker of its own beside a
    // running load. Only the last request's source is delivered (sourceReady).
    void readSource(const QString &path, const QSize &maxSize);
    // The pending source is no longer wanted.
    void cancelSource() { ++m_sourceTicket; }
    // The reader of window sources the station uses.
    static RenderFn defaultSourceRender();
    void setSourceRender(RenderFn render) { m_sourceRender = std::move(render); }

signals:
    void imageReady(int number, const ViewerImage &image);
    // After the first failure no further files are started.
    void imageFailed(int number, const QString &path, long errorNumber, const QString &description);
    void finished(int loaded, int failed);
    // The source of readSource, or the error that kept it from being read.
    void sourceReady(const ViewerImage &source, const QString &error);

private:
    struct Job;
    void reapThreads(bool all);

    RenderFn m_render;
    RenderFn m_sourceRender;
    quint64 m_sourceTicket = 0;
    std::shared_ptr<Job> m_job;
    std::vector<std::pair<std::shared_ptr<Job>, std::thread>> m_threads;
    quint64 m_generation = 0;
    bool m_running = false;
    int m_loaded = 0;
    int m_failed = 0;
};
