#include "ResourceRuntime.h"

#include <QFileInfo>

#include <algorithm>
#include <system_error>

// Everything a worker thread owns: its own copies, so that it never reads the runtime's members
// without the mutex.
struct WorkerThreadResourceRuntime::Job {
    QString jobId;
    std::string key;
    QString location;
    std::shared_ptr<std::atomic_bool> cancelled;
    ProgressCallback onProgress;
    FinishedCallback onFinished;
};

WorkerThreadResourceRuntime::WorkerThreadResourceRuntime(QObject *parent)
    : ResourceRuntime(parent)
{
    m_cancelFlags.max_load_factor(1.0f);
}

WorkerThreadResourceRuntime::~WorkerThreadResourceRuntime()
{
    std::vector<std::thread> running;
    std::thread ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto &entry : m_cancelFlags)
            entry.second->store(true);
        running.swap(m_threads);
        ended = std::move(m_endedThread);
    }
    // Joined without the mutex: an ending thread takes it to retire itself.
    for (std::thread &thread : running)
        thread.join();
    if (ended.joinable())
        ended.join();
}

void WorkerThreadResourceRuntime::start(const QString &jobId, const QString &location)
{
    Job job {jobId, jobId.toStdString(), location, std::make_shared<std::atomic_bool>(false),
        onProgress, onFinished};

    std::unique_lock<std::mutex> lock(m_mutex);
    std::shared_ptr<std::atomic_bool> &flag = m_cancelFlags[job.key];
    // A job that is replaced by a new one with the same id can no longer be cancelled by id:
    // stop it now rather than let it report under the new job's id.
    if (flag)
        flag->store(true);
    flag = job.cancelled;
    try {
        // Started under the mutex, so the thread finds itself in the list when it retires.
        m_threads.emplace_back([this, job] {
            run(job);
            retire(job);
        });
    } catch (const std::system_error &) {
        m_cancelFlags.erase(job.key);
        lock.unlock();
        if (const FailedCallback failed = onFailed)
            failed(jobId, QStringLiteral("资源任务线程启动失败"));
    }
}

void WorkerThreadResourceRuntime::cancel(const QString &jobId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_cancelFlags.find(jobId.toStdString());
    if (it != m_cancelFlags.end())
        it->second->store(true);
}

void WorkerThreadResourceRuntime::run(const Job &job)
{
    if (job.cancelled->load())
        return;
    const bool exists = QFileInfo::exists(job.location);
    if (job.onProgress)
        job.onProgress(job.jobId, 100);
    if (!job.cancelled->load() && job.onFinished)
        job.onFinished(job.jobId, QVariant(exists));
}

void WorkerThreadResourceRuntime::retire(const Job &job)
{
    std::thread previous;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto flag = m_cancelFlags.find(job.key);
        // A newer job with the same id owns the entry now.
        if (flag != m_cancelFlags.end() && flag->second == job.cancelled)
            m_cancelFlags.erase(flag);

        const std::thread::id self = std::this_thread::get_id();
        const auto it = std::find_if(m_threads.begin(), m_threads.end(),
            [self](const std::thread &t) { return t.get_id() == self; });
        // Not found when the destructor has taken the list: it joins this thread itself.
        if (it != m_threads.end()) {
            previous = std::move(m_endedThread);
            m_endedThread = std::move(*it);
            if (it != m_threads.end() - 1)
                *it = std::move(m_threads.back());
            m_threads.pop_back();
        }
    }
    if (previous.joinable())
        previous.join();
}
