#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class Database;
class QThread;
struct sqlite3;

// The window's keeper of an opened database file (Database::setCheckInBackground): it reads every
// page on a connection and thread of its own when that is due, and it alone moves the log (WAL)
// into the file, in checkpoints on another thread that never make a save wait.
//
// Saves made while the check runs go on as usual, but only into the log: nothing reaches the file
// itself before the check has passed. When the check finds damage, the main connection refuses
// every further write (query_only), the log is kept beside the file instead of being copied into
// it (also when the program ends), and damaged() tells the window.
class DatabaseGuard : public QObject {
    Q_OBJECT
public:
    enum class State { Checking, Sound, Damaged };

    // database is opened and outlives this object (or finish() is called first).
    explicit DatabaseGuard(Database *database, QObject *parent = nullptr);
    ~DatabaseGuard() override;

    // Marks the session, installs the checkpoint hook and starts the check when it is pending;
    // otherwise the file counts as sound at once (sound() is still emitted, from the event loop).
    void start();
    // Ends the check and any checkpoint, and leaves the file ready for its connection to close:
    // with the session mark removed when the file was found sound, and with the log kept out of a
    // file that was not. Called before the main connection closes.
    void finish();

    State state() const { return m_state; }
    bool isChecking() const { return m_state == State::Checking; }
    // The user-facing text of the damage found (empty otherwise).
    QString damage() const { return m_damage; }

    // The log is moved into the file once it holds this many pages.
    static constexpr int checkpointPages = 1000;

signals:
    // The file passed the check (or none was due): the background work that writes may begin.
    void sound();
    // The check found damage; the main connection is read-only from now on.
    void damaged(const QString &message);

private:
    void checkDone(bool ok, bool stopped, const QString &error);
    void makeReadOnly();
    void checkpointSoon();
    // Checkpoints (copy) or only starts an empty log, on the checkpoint thread.
    void startTending(bool copy);
    friend int logGrew(void *guard, struct sqlite3 *db, const char *name, int pages);

    Database *m_database;
    QString m_file;
    State m_state = State::Checking;
    QString m_damage;
    bool m_started = false;
    bool m_sessionMarked = false;
    std::unique_ptr<QThread> m_check;
    std::atomic_bool m_stop {false};
    std::unique_ptr<QThread> m_checkpoint;
    bool m_checkpointAgain = false;
};
