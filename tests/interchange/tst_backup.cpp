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
