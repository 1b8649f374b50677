#pragma once

#include <QSqlDatabase>

// The program's own connection goes before the background index build: while it waits for a lock
// that the build holds, the build ends its transaction after the item at hand and lets it through,
// instead of the wait running into a time-out ("database is locked") behind batch after batch.

// Replaces the connection's busy time-out by a handler that waits up to ten seconds and tells the
// build that it is waiting. Returns false when the driver gives no SQLite handle.
bool preferForegroundConnection(QSqlDatabase db);

// True while a preferred connection has been waiting for a lock within the last few milliseconds.
bool foregroundIsWaiting();

// How often a preferred connection has found the lock taken so far (each time it sleeps 2 ms
// before trying again): benchmarks tell a save's wait for a lock from its own work with it.
qint64 foregroundLockWaits();
constexpr int foregroundPollMilliseconds = 2;

// A commit of a preferred connection began within the last few milliseconds (about a save's own
// writing and sync): background work holds back its reads and writes meanwhile, so that the save
// does not queue behind them at the disk.
bool foregroundIsCommitting();
// Sleeps while foregroundIsCommitting(), at most limitMilliseconds in all, so that the background
// work always moves on. Called by the background jobs between their steps.
void yieldToForeground(int limitMilliseconds = 500);
constexpr int foregroundCommitMilliseconds = 40;

// Lowers the CPU priority of the calling thread when it is not the program's main thread: the
// background jobs (check, backup, index build, checkpoints) give way to the window on a busy
// machine. The thread keeps it until it ends.
void runAsBackgroundThread();
