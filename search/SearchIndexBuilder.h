#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// Checks the full-text index of one database file and builds it when it is missing, incomplete or
// damaged, on a connection of its own. start() does it on a worker thread (after the window is
// shown); searching by name, reading and saving go on meanwhile on the main connection. The build
// writes in short transactions and pauses between them, so a save from the GUI thread waits at
// most one batch.
class SearchIndexBuilder : public QObject {
    Q_OBJECT
public:
    enum class Outcome { AlreadyComplete, Built, Stopped, Failed };

    explicit SearchIndexBuilder(const QString &databaseFile, QObject *parent = nullptr);
    // Stops a running build and waits for its current batch.
    ~SearchIndexBuilder() override;

    void start();
    // Asks the worker to stop after its current batch and waits for it. The next start builds anew.
    void stop();
    bool isRunning() const;

    // The whole check-and-build on the calling thread (the command line, tests, benchmarks).
    // progress(done, total) is called after each batch; stop, when given and set, ends it early.
    static Outcome run(const QString &databaseFile, const QString &connectionName,
        const std::function<void(qint64, qint64)> &progress, const std::atomic_bool *stop,
        QString *error);

signals:
    // After each batch of a build: done of total items indexed. Queued to the receiver's thread.
    void progress(qint64 done, qint64 total);
    // Once per start(): complete is true when the index now covers every item.
    void finished(bool complete, const QString &error);

private:
    QString m_databaseFile;
    std::unique_ptr<QThread> m_thread;
    std::atomic_bool m_stop {false};
};
