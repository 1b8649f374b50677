#include "WritePriority.h"

#include "SqlSupport.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>

namespace {

constexpr int pollMilliseconds = foregroundPollMilliseconds;
constexpr int waitLimitMilliseconds = 10000;
constexpr qint64 recentMilliseconds = 20;

std::atomic<qint64> lastWait {-1000000};
std::atomic<qint64> waits {0};

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

} // namespace

bool preferForegroundConnection(QSqlDatabase db)
{
    sqlite3 *connection = sqlsupport::sqliteHandle(db);
    return connection && sqlite3_busy_handler(connection, waitForLock, nullptr) == SQLITE_OK;
}

bool foregroundIsWaiting()
{
    return nowMs() - lastWait.load() < recentMilliseconds;
}

qint64 foregroundLockWaits()
{
    return waits.load();
}
