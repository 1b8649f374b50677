#include "ResourceRuntime.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <utility>

namespace {

constexpr int StopGraceMs = 500;

// Asks a process to end and kills it when it has not ended within the grace period.
void stopProcess(QProcess *process, QDeadlineTimer grace)
{
    if (process->waitForFinished(int(grace.remainingTime())))
        return;
    process->kill();
    // A killed process ends at once; waiting lets it be reaped before the object goes away.
    process->waitForFinished(StopGraceMs);
}

} // namespace

ExternalProcessResourceRuntime::ExternalProcessResourceRuntime(QObject *parent)
    : ResourceRuntime(parent)
{
}

ExternalProcessResourceRuntime::~ExternalProcessResourceRuntime()
{
    // Running programs get the same chance to end as on cancel, all within one grace period;
    // left to QProcess's own destructor they would be killed outright.
    const auto processes = std::exchange(m_processes, {});
    for (QProcess *process : processes) {
        process->disconnect(this);
        process->terminate();
    }
    const QDeadlineTimer grace(StopGraceMs);
    for (QProcess *process : processes) {
        stopProcess(process, grace);
        delete process;
    }
}

void ExternalProcessResourceRuntime::start(const QString &jobId, const QString &program)
{
    start(jobId, program, QStringList());
}

void ExternalProcessResourceRuntime::start(
    const QString &jobId, const QString &program, const QStringList &arguments)
{
    cancel(jobId);

    auto *process = new QProcess(this);
    m_processes.insert(jobId, process);

    connect(process, &QProcess::errorOccurred, this,
        [this, jobId, process](QProcess::ProcessError error) {
            // Only a start failure ends a job here; a program that ran and then crashed
            // also emits finished, which reports the result.
            if (error != QProcess::FailedToStart)
                return;
            forget(jobId, process);
            process->deleteLater();
            if (const FailedCallback failed = onFailed)
                failed(jobId, QStringLiteral("外部资源进程启动失败"));
        });
    connect(process, &QProcess::finished, this,
        [this, jobId, process](int exitCode, QProcess::ExitStatus) {
            // Forget the job before reporting, so that a callback may start the same id again.
            forget(jobId, process);
            process->deleteLater();
            if (const FinishedCallback finished = onFinished)
                finished(jobId, QVariant(exitCode == 0));
        });

    process->start(program, arguments, QIODevice::ReadWrite);
}

void ExternalProcessResourceRuntime::cancel(const QString &jobId)
{
    QProcess *process = m_processes.take(jobId);
    if (!process)
        return;
    // A stopped job reports nothing: its end would otherwise be reported under an id that may
    // already belong to the job that replaces it.
    process->disconnect(this);
    process->terminate();
    stopProcess(process, QDeadlineTimer(StopGraceMs));
    process->deleteLater();
}

void ExternalProcessResourceRuntime::forget(const QString &jobId, QProcess *process)
{
    const auto it = m_processes.find(jobId);
    if (it != m_processes.end() && it.value() == process)
        m_processes.erase(it);
}

InProcessResourceRuntime::InProcessResourceRuntime(QObject *parent)
    : ResourceRuntime(parent)
{
}

void InProcessResourceRuntime::start(const QString &jobId, const QString &location)
{
    QTimer::singleShot(0, this, [this, jobId, location] {
        // Copies, so that a callback may replace the callbacks or delete the runtime.
        const ProgressCallback progress = onProgress;
        const FinishedCallback finished = onFinished;
        const FailedCallback failed = onFailed;
        if (location.isEmpty()) {
            if (failed)
                failed(jobId, QStringLiteral("资源地址为空"));
            return;
        }
        if (progress)
            progress(jobId, 100);
        if (finished)
            finished(jobId, QVariant(QFileInfo::exists(location)));
    });
}

void InProcessResourceRuntime::cancel(const QString &)
{
}
