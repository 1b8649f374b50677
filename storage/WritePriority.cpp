#include "WritePriority.h"

#include "SqlSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <sqlite3.h>

#include <atomic>
#include <chrono>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

constexpr int pollMilliseconds = foregroundPollMilliseconds;
constexpr int waitLimitMilliseconds = 10000;
constexpr qint64 recentMilliseconds = 20;

std::atomic<qint64> lastWait {-1000000};
std::atomic<qint64> waits {0};
std::atomic<qint64> lastCommit {-1000000};

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int waitForLock(void *, int attempts)
{
    lastWait = nowMs();
    ++waits;
    if (attempts * pollMilliseconds >= waitLimitMilliseconds)
        return 0;
    sqlite3_sleep(pollMilliseconds);
    return 1;
}

int commitBegins(void *)
{
    lastCommit = nowMs();
    return 0; // the commit goes on
}

} // namespace

bool preferForegroundConnection(QSqlDatabase db)
{
    sqlite3 *connection = sqlsupport::sqliteHandle(db);
    if (!connection || sqlite3_busy_handler(connection, waitForLock, nullptr) != SQLITE_OK)
        return false;
    sqlite3_commit_hook(connection, commitBegins, nullptr);
    return true;
}

bool foregroundIsWaiting()
{
    return nowMs() - lastWait.load() < recentMilliseconds;
}

qint64 foregroundLockWaits()
{
    return waits.load();
}

bool foregroundIsCommitting()
{
    return nowMs() - lastCommit.load() < foregroundCommitMilliseconds;
}

void yieldToForeground(int limitMilliseconds)
{
    for (int waited = 0; waited < limitMilliseconds && foregroundIsCommitting();
         waited += pollMilliseconds)
        QThread::msleep(pollMilliseconds);
}

void runAsBackgroundThread()
{
#ifdef Q_OS_LINUX
    const QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        return;
    // Per thread on Linux; raising it again would need privileges, so it is never undone.
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);
#endif
}
