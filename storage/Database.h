#pragma once

#include <QSqlDatabase>
#include <QString>

// Owns the storage root and the one named SQLite connection every repository goes through.
class Database {
public:
    explicit Database(const QString &connectionName = QStringLiteral("velto-main"));

    // Uses root instead of "here" beside the executable (tests, VELTO_STORAGE_ROOT). The per-user
    // fallback still applies when "data" cannot be created under it.
    void setRootOverride(const QString &root);

    // Picks the root, opens (or creates) data/velto.db, brings the schema up to date and seeds a
    // new file. On failure returns false and stores the failing layer's text in *error.
    bool open(QString *error);

    // The registered connection, opened if needed.
    QSqlDatabase connection() const;

    // Closes and unregisters the connection. The program never calls it; tests and tools do.
    void close();

    QString rootPath;
    QString connectionName;

    static QString databaseFilePath(const QString &root);

private:
    QString chooseRoot() const;
    bool createSchema(QString *error);
    bool migrateColumns(QString *error);
    bool resetWorkspaceOnce(QString *error);
    bool seedIfNeeded(QString *error);

    QString m_rootOverride;
};
