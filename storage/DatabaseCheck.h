#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

#include <atomic>

// The checks that keep writes away from a damaged database file. Opening pays only for the cheap
// ones (the file's first page, its length and the schema); reading every page is left to a
// connection of its own, after a session that did not end cleanly or when a week has passed.
namespace DatabaseCheck {

// Reads the first 100 bytes and the length of file before SQLite touches it: a file that is not
// SQLite, carries impossible header values or is shorter than its header says is refused. A
// missing or empty file passes (it becomes a new database).
bool checkHeader(const QString &file, QString *error);

// Parses the whole schema through db: a damaged schema page, or a file SQLite does not accept,
// fails here.
bool checkSchema(QSqlDatabase db, QString *error);

// Reads every page of file (PRAGMA quick_check) on a read-only connection of its own under
// connectionName. Returns true when the file is sound; on damage or failure stores the reason.
// When stop is given and becomes true the check ends early and reports failure with *stopped set.
bool checkAllPages(const QString &file, const QString &connectionName, QString *error,
    const std::atomic_bool *stop = nullptr, bool *stopped = nullptr);

// The user-facing text for damage found in file, with SQLite's own words after it.
QString damagedMessage(const QString &file, const QString &technical);

} // namespace DatabaseCheck

// When the check of every page is due for one database file, from two small files beside it:
// "<file>.session" names the process of a window that has the file open (left behind when that
// process ends without closing it, or closes it before the check passed), and "<file>.checked"
// holds the time of the last check that passed.
class CheckSchedule {
public:
    explicit CheckSchedule(const QString &databaseFile);

    static constexpr qint64 intervalDays = 7;

    // A mark left by a process on this machine that no longer runs.
    bool previousSessionUnclean() const;
    // Unclean end of the last session, no check recorded, or the last one older than a week.
    bool isDue(const QDateTime &now = QDateTime::currentDateTime()) const;
    QDateTime lastPass() const;

    // The window of this process has the file open.
    void beginSession();
    // Removes the mark of this process (and a stale one it replaced); keeps another live one.
    void endSession();
    // A check just passed: the time is recorded and a stale mark of another process removed.
    void recordPass(const QDateTime &when = QDateTime::currentDateTime());

    QString sessionPath() const { return m_file + QStringLiteral(".session"); }
    QString checkedPath() const { return m_file + QStringLiteral(".checked"); }

private:
    QString m_file;
};
