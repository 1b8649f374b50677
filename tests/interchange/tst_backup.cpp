#include "DatabaseBackup.h"
#include "StorageFixture.h"
#include "TestSupport.h"

#include <QDate>
#include <QDir>
#include <QSignalSpy>

class BackupTest : public QObject {
    Q_OBJECT
private slots:
    void copyIsConsistentAndReplacesAtomically()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        const QString target = fx.dir.filePath(QStringLiteral("copy.db"));
        QString error;
        QVERIFY2(DatabaseBackup::writeCopy(
                     Database::databaseFilePath(fx.database.rootPath), target, &error),
            qPrintable(error));
        fx.add(QStringLiteral("later"));
        // A second copy replaces the first.
        QVERIFY2(DatabaseBackup::writeCopy(
                     Database::databaseFilePath(fx.database.rootPath), target, &error),
            qPrintable(error));
        {
            QSqlDatabase db
                = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
            db.setDatabaseName(target);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")) && query.next());
            QCOMPARE(query.value(0).toInt(), 9);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
        QVERIFY(!QFile::exists(target + QStringLiteral(".part")));

        QVERIFY(!DatabaseBackup::writeCopy(
            fx.dir.filePath(QStringLiteral("missing.db")), target, &error));
        QVERIFY(error.contains(QStringLiteral("missing.db")));
    }

    void dailyBackupKeepsTheSevenNewest()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        DatabaseBackup backup(fx.database.rootPath);
        QDir().mkpath(backup.backupDirectory());
        const QDate today = QDate::currentDate();
        for (int day = 1; day <= 8; ++day) {
            QFile old(QDir(backup.backupDirectory())
                          .filePath(DatabaseBackup::fileNameFor(today.addDays(-day))));
            QVERIFY(old.open(QIODevice::WriteOnly));
        }
        QSignalSpy finished(&backup, &DatabaseBackup::finished);
        backup.startDaily();
        QVERIFY(finished.wait(10000));
        const QStringList kept = backup.backups();
        QCOMPARE(kept.size(), DatabaseBackup::kept);
        QCOMPARE(kept.first(), DatabaseBackup::fileNameFor(today));
        QCOMPARE(kept.last(), DatabaseBackup::fileNameFor(today.addDays(-6)));

        // Already written today: nothing to do.
        backup.startDaily();
        QVERIFY(!backup.isRunning());
    }

    // A backup reads one snapshot from start to end; saves go on meanwhile, neither waiting for
    // it nor failing, and the copy holds the snapshot.
    void savesGoOnWhileABackupReads()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        fx.sql(
            QStringLiteral("WITH RECURSIVE n(k) AS (SELECT 100 UNION ALL SELECT k + 1 FROM n "
                           "WHERE k < 3100) INSERT INTO data_items(iid, pid, sortid, here, cont) "
                           "SELECT k, 0, k, 'filler ' || k, hex(randomblob(500)) FROM n"));
        const QString file = Database::databaseFilePath(fx.database.rootPath);
        {
            // The lock a running backup holds, taken by hand so the save surely meets it.
            QSqlDatabase reader
                = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
            reader.setDatabaseName(file);
            reader.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QVERIFY(reader.open());
            QSqlQuery snapshot(reader);
            QVERIFY(snapshot.exec(QStringLiteral("BEGIN")));
            QVERIFY(snapshot.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")));
            QVERIFY(snapshot.next());
            const int before = snapshot.value(0).toInt();
            QVERIFY(fx.add(QStringLiteral("saved during a read")) != 0);
            QVERIFY(snapshot.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")));
            QVERIFY(snapshot.next());
            QCOMPARE(snapshot.value(0).toInt(), before); // the reader keeps its snapshot
            QVERIFY(snapshot.exec(QStringLiteral("COMMIT")));
            reader.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("reader"));

        // The real daily backup: every save made while it runs succeeds.
        DatabaseBackup backup(fx.database.rootPath);
        QSignalSpy finished(&backup, &DatabaseBackup::finished);
        backup.startDaily();
        int saved = 0;
        while (backup.isRunning() && finished.isEmpty()) {
            QVERIFY(fx.add(QStringLiteral("saved during the backup %1").arg(saved)) != 0);
            ++saved;
            QCoreApplication::processEvents();
        }
        QVERIFY(!finished.isEmpty() || finished.wait(30000));
        QSqlDatabase copy
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("copy"));
        copy.setDatabaseName(finished.first().first().toString());
        QVERIFY(copy.open());
        QSqlQuery query(copy);
        QVERIFY(query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("ok"));
        QVERIFY(query.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")) && query.next());
        QVERIFY(query.value(0).toInt() >= 3001 + 8 + 1);
        query.finish();
        copy.close();
        copy = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("copy"));
    }

    void failureIsReportedNotThrown()
    {
        QTemporaryDir root; // no database in it
        DatabaseBackup backup(root.path());
        QSignalSpy failed(&backup, &DatabaseBackup::failed);
        backup.startDaily();
        QVERIFY(failed.wait(10000));
        QVERIFY(!failed.first().first().toString().isEmpty());
        QVERIFY(backup.backups().isEmpty());
    }
};

VELTO_TEST_MAIN_CORE(BackupTest)
#include "tst_backup.moc"
