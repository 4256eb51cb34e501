#include "store/StudyLoader.h"
#include "core/AppError.h"
#include "dicom/Render.h"

#include <QThread>
#include <atomic>

struct StudyLoader::Job {
    QList<Item> items;
    QSize maxSize;
    RenderFn render;
    quint64 generation = 0;
    std::atomic<int> next{0};
    std::atomic<int> active{0};
    std::atomic<bool> stop{false};
};

StudyLoader::StudyLoader(RenderFn render, QObject *parent)
    : QObject(parent), m_render(render ? std::move(render) : defaultRender()), m_sourceRender(defaultSourceRender())
{
}

StudyLoader::~StudyLoader()
{
    cancel();
    reapThreads(true);
}

void StudyLoader::cancel()
{
    if (m_job)
        m_job->stop = true;
    m_job.reset();
    m_running = false;
    ++m_generation; // whatever the cancelled workers still hand over is dropped
}

void StudyLoader::reapThreads(bool all)
{
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (all || it->first->active.load() == 0) {
            if (it->second.joinable())
                it->second.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

void StudyLoader::start(const QList<Item> &items, const QSize &maxSize, int workers, int firstNumber)
{
    cancel();
    reapThreads(false);
    auto job = std::make_shared<Job>();
    job->items = items;
    job->maxSize = maxSize;
    job->render = m_render;
    job->generation = ++m_generation;
    m_job = job;
    m_loaded = m_failed = 0;
    m_running = true;

    if (items.isEmpty()) {
        m_running = false;
        QMetaObject::invokeMethod(
            this, [this] { emit finished(0, 0); }, Qt::QueuedConnection);
        return;
    }
    if (workers <= 0)
        workers = qBound(1, QThread::idealThreadCount(), 2);
    workers = qMin(workers, int(items.size()));
    job->active = workers;

    for (int w = 0; w < workers; ++w) {
        std::thread t([this, job, firstNumber] {
            for (;;) {
                if (job->stop)
                    break;
                const int i = job->next.fetch_add(1);
                if (i >= job->items.size())
                    break;
                const Item &item = job->items.at(i);
                const quint64 gen = job->generation;
                const int number = firstNumber + i;
                try {
                    if (!item.error.isEmpty())
                        throw AppError(ErrorNo::BadInput, item.error);
                    ViewerImage img = job->render(item.path, job->maxSize);
                    img.path = item.path;
                    QMetaObject::invokeMethod(
                        this,
                        [this, gen, number, img] {
                            if (gen != m_generation)
                                return;
                            ++m_loaded;
                            emit imageReady(number, img);
                        },
                        Qt::QueuedConnection);
                } catch (const std::exception &e) {
                    job->stop = true; // the load ends at its first failing file
                    const ErrorParts err = errorParts(e, ErrorNo::FileIo);
                    const long errorNumber = err.number;
                    const QString text = err.text;
                    const QString path = item.path;
                    QMetaObject::invokeMethod(
                        this,
                        [this, gen, number, path, errorNumber, text] {
                            if (gen != m_generation)
                                return;
                            ++m_failed;
                            emit imageFailed(number, path, errorNumber, text);
                        },
                        Qt::QueuedConnection);
                }
            }
            if (job->active.fetch_sub(1) == 1) {
                const quint64 gen = job->generation;
                QMetaObject::invokeMethod(
                    this,
                    [this, gen] {
                        if (gen != m_generation)
                            return;
                        m_running = false;
                        m_job.reset();
                        emit finished(m_loaded, m_failed);
                    },
                    Qt::QueuedConnection);
            }
        });
        m_threads.emplace_back(job, std::move(t));
    }
}

StudyLoader::RenderFn StudyLoader::defaultRender()
{
    return [](const QString &path, const QSize &maxSize) {
        return ViewerImage(dicom::renderForViewer(path, maxSize), path);
    };
}

void StudyLoader::readSource(const QString &path, const QSize &maxSize)
{
    reapThreads(false);
    // The job only counts the worker, so that the reaping joins it once it is done.
    auto job = std::make_shared<Job>();
    job->active = 1;
    const quint64 ticket = ++m_sourceTicket;
    std::thread t([this, job, render = m_sourceRender, path, maxSize, ticket] {
        ViewerImage source;
        QString error;
        try {
            source = render(path, maxSize);
        } catch (const std::exception &e) {
            error = errorParts(e).text;
        }
        QMetaObject::invokeMethod(
            this,
            [this, ticket, source, error] {
                if (ticket == m_sourceTicket)
                    emit sourceReady(source, error);
            },
            Qt::QueuedConnection);
        job->active = 0;
    });
    m_threads.emplace_back(job, std::move(t));
}

StudyLoader::RenderFn StudyLoader::defaultSourceRender()
{
    return [](const QString &path, const QSize &maxSize) {
        return ViewerImage(dicom::renderWindowSource(path, maxSize), path);
    };
}
