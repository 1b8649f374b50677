#pragma once

#include "Records.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>

// Owns the storage root and the one named SQLite connection every repository goes through.
class Database {
public:
    explicit Database(const QString &connectionName = QStringLiteral("velto-main"));

    // Uses root instead of "here" beside the executable (tests, scripts, VELTO_STORAGE_ROOT). An
    // explicit root is never swapped for another: when "data" cannot be created under it, open()
    // fails with a message naming it and writes nothing anywhere.
    void setRootOverride(const QString &root);

    // Picks the root, opens (or creates) data/velto.db, brings the schema up to date and seeds a
    // new file. On failure returns false and stores the failing layer's text in *error.
    // A file that is not SQLite or is shorter than its header says is refused before SQLite reads
    // it; a damaged schema is refused too. Every page is read before the first write when the
    // file still uses the rollback journal (it is then converted to WAL) and, unless the check
    // runs in the background, when the check is due (CheckSchedule).
    bool open(QString *error);

    // The window reads every page on another thread (DatabaseGuard) instead of before opening:
    // open() then only notes whether that check is due, and the main connection writes nothing
    // into the file itself (no automatic checkpoint) until the guard has found it sound.
    void setCheckInBackground(bool background) { m_checkInBackground = background; }
    bool checksInBackground() const { return m_checkInBackground; }
    // After open(): the check of every page is due and has not run yet.
    bool fullCheckPending() const { return m_fullCheckPending; }
    // After open(): the file has no write permission and was opened read-only.
    bool isReadOnly() const { return m_readOnly; }

    // The registered connection, opened if needed.
    QSqlDatabase connection() const;

    // Closes and unregisters the connection. The program never calls it; tests and tools do.
    void close();
    // Closes the SQLite connection but keeps its name registered (connection() opens it again,
    // plainly). The window calls it at its end, so that the log is written into the file and
    // removed with the last connection.
    void closeConnection();

    QString rootPath;
    QString connectionName;

    static QString databaseFilePath(const QString &root);

    // The root used without an override, for a program whose executable lives in applicationDir:
    // "here" beside the executable, created if needed; "here" under the per-user application data
    // location when the program runs from an installation or "data" cannot be created beside it.
    static QString chooseDefaultRoot(const QString &applicationDir);

    // True for an executable in the bin/ folder of an installation prefix, recognised by the marker
    // file that the install rules put at <prefix>/share/velto/installed. A developer build has no
    // such file beside it and keeps its data next to the executable.
    static bool isInstalledLayout(const QString &applicationDir);

    // The items a new file is seeded with (iid, pid, sortid, name and content line set).
    static QList<DataItem> sampleItems();

private:
    bool chooseRoot(QString *error);
    bool chooseJournal(bool existed, QString *error);
    bool checkAllPagesHere(QString *error);
    bool createSchema(QString *error);
    bool migrateColumns(QString *error);
    bool migrateIdentity(QString *error);
    bool resetWorkspaceOnce(QString *error);
    bool seedIfNeeded(QString *error);

    QString m_rootOverride;
    bool m_checkInBackground = false;
    bool m_fullCheckPending = false;
    bool m_readOnly = false;
};
