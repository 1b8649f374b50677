#pragma once

#include <QString>

// Writes out what the commits of a background connection left in the database's log (WAL) without
// waiting for the disk (synchronous = NORMAL). Left in memory, it would wait for the next save of
// the window, whose sync would then write it all while the person waits. Runs outside any lock,
// on the background thread, and without the flush of the disk's own cache that a save still does.
class LogWriteOut {
public:
    explicit LogWriteOut(const QString &databaseFile);
    ~LogWriteOut();
    LogWriteOut(const LogWriteOut &) = delete;
    LogWriteOut &operator=(const LogWriteOut &) = delete;

    // Writes the log out and waits until it is written.
    void operator()() const;
    // Waits for what the previous call started, then starts writing out what came since and
    // returns: the writing overlaps the next unit of work.
    void start() const;

private:
    int m_fd = -1;
};
