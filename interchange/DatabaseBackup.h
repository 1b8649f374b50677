#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QThread;

// Consistent copies of the database (SQLite's backup interface, in small paced steps) and the daily
// backups under data/backups: "velto-YYYY-MM-DD.db", the seven newest kept.
class DatabaseBackup : public QObject {
    Q_OBJECT
public:
    explicit DatabaseBackup(const QString &storageRoot, QObject *parent = nullptr);
    ~DatabaseBackup() override;

    static constexpr int kept = 7;

    // Copies databaseFile to target: written beside it under another name, synced, then renamed
    // over target, so target is either the old file or a complete copy. Any thread.
    static bool writeCopy(const QString &databaseFile, const QString &target, QString *error);

    QString backupDirectory() const;
    // Today's file name, e.g. "velto-2026-12-08.db".
    static QString fileNameFor(const QDate &date);
    // The backups present, newest first.
    QStringList backups() const;
    // Deletes all but the `kept` newest backups (and unfinished copies).
    void prune() const;

    // Writes today's backup on a worker thread unless it exists already. Reports through
    // finished() or failed() on this object's thread; never blocks the caller.
    void startDaily();
    // From startDaily() until finished() or failed() has been emitted.
    bool isRunning() const;
    // Blocks until a started backup has ended (tests, shutdown).
    void wait();

signals:
    void finished(const QString &path);
    void failed(const QString &error);

private:
    QString m_root;
    std::unique_ptr<QThread> m_thread;
    bool m_busy = false; // from the start until the outcome has been delivered
};
