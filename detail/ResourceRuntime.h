#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class QProcess;

// Runs jobs for resources. A job is named by a caller-chosen id and reports through the three
// callbacks below; a callback that is not set is skipped.
class ResourceRuntime : public QObject {
public:
    using ProgressCallback = std::function<void(const QString &jobId, int percent)>;
    using FinishedCallback = std::function<void(const QString &jobId, const QVariant &result)>;
    using FailedCallback = std::function<void(const QString &jobId, const QString &message)>;

    explicit ResourceRuntime(QObject *parent = nullptr)
        : QObject(parent)
    {
    }

    ProgressCallback onProgress;
    FinishedCallback onFinished;
    FailedCallback onFailed;

    virtual void start(const QString &jobId, const QString &location) = 0;
    virtual void cancel(const QString &jobId) = 0;
};

// Runs an external program per job. Everything happens on the runtime's own thread; the
// processes are children of the runtime. A job that is cancelled (or replaced by a new job with
// the same id, or stopped because the runtime is destroyed) reports nothing more.
class ExternalProcessResourceRuntime : public ResourceRuntime {
public:
    explicit ExternalProcessResourceRuntime(QObject *parent = nullptr);
    ~ExternalProcessResourceRuntime() override;

    void start(const QString &jobId, const QString &program) override;
    void start(const QString &jobId, const QString &program, const QStringList &arguments);
    void cancel(const QString &jobId) override;

private:
    void forget(const QString &jobId, QProcess *process);

    QHash<QString, QProcess *> m_processes;
};

// Checks a resource location on the runtime's own thread, from the event loop.
class InProcessResourceRuntime : public ResourceRuntime {
public:
    explicit InProcessResourceRuntime(QObject *parent = nullptr);

    void start(const QString &jobId, const QString &location) override;
    void cancel(const QString &jobId) override;
};

// Checks a resource location on a thread of its own per job. The callbacks run on that worker
// thread, not on the runtime's thread: a caller that touches widgets must forward the call
// itself. Each job uses the callbacks that were set when it was started. Destroy the runtime on
// the thread that owns it, never from inside one of its callbacks.
class WorkerThreadResourceRuntime : public ResourceRuntime {
public:
    explicit WorkerThreadResourceRuntime(QObject *parent = nullptr);
    ~WorkerThreadResourceRuntime() override;

    void start(const QString &jobId, const QString &location) override;
    void cancel(const QString &jobId) override;

private:
    struct Job;
    void run(const Job &job);
    void retire(const Job &job);

    std::mutex m_mutex;
    std::unordered_map<std::string, std::shared_ptr<std::atomic_bool>> m_cancelFlags;
    // Threads that are still running their job.
    std::vector<std::thread> m_threads;
    // The thread that ended last; the next thread to end (or the destructor) joins it, so the
    // runtime keeps at most one finished thread around.
    std::thread m_endedThread;
};
