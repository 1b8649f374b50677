#include "DatabaseCheck.h"
#include "DatabaseDamage.h"
#include "StorageFixture.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStandardPaths>
#include <QSysInfo>

using namespace velto::test;

namespace {

QString journalMode(StorageFixture &s)
{
    QSqlQuery query = s.sql(QStringLiteral("PRAGMA journal_mode"));
    return query.next() ? query.value(0).toString() : QString();
}

// Builds a database file by hand, outside Database, to stand for files written by older layouts.
void craft(const QString &root, const QStringList &statements)
{
    QDir().mkpath(root + QStringLiteral("/data"));
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("craft"));
        db.setDatabaseName(Database::databaseFilePath(root));
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const QString &statement : statements)
            QVERIFY2(query.exec(statement), qPrintable(query.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("craft"));
}

const QString oldItemsTable = QStringLiteral(
    "CREATE TABLE data_items (id INTEGER PRIMARY KEY AUTOINCREMENT, iid INTEGER NOT NULL UNIQUE, "
    "pid INTEGER NOT NULL DEFAULT 0, sortid INTEGER NOT NULL DEFAULT 0, here TEXT NOT NULL, "
    "cont TEXT NOT NULL, \"desc\" TEXT NOT NULL DEFAULT '')");

} // namespace

class TestDatabase : public QObject {
    Q_OBJECT

private slots:
    void newFileGetsSchemaMarkersAndSamples()
    {
        StorageFixture s;
        QVERIFY2(s.open(), qPrintable(s.error));
        QCOMPARE(s.database.rootPath, QDir(s.dir.path()).absolutePath());
        QVERIFY(QFileInfo::exists(s.dir.path() + QStringLiteral("/data/velto.db")));
        QVERIFY(QFileInfo(s.dir.path() + QStringLiteral("/attachments")).isDir());

        QStringList objects;
        QSqlQuery query = s.sql(QStringLiteral(
            "SELECT name FROM sqlite_master WHERE type IN ('table', 'index') AND name NOT LIKE "
            "'sqlite_%' AND name NOT LIKE 'search_index%' ORDER BY name"));
        while (query.next())
            objects << query.value(0).toString();
        QCOMPARE(objects,
            QStringList({"app_state", "attachments", "content_blocks", "data_items",
                "idx_attachments_item_sortid", "idx_content_blocks_item_sortid",
                "idx_data_items_favorite", "idx_data_items_pid_sortid", "idx_data_items_uuid",
                "idx_recent_items_accessed_at", "orphan_items", "recent_items"}));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM app_state WHERE value = '1' AND key "
                                         "IN ('workspace_layout_reset_v1', "
                                         "'initial_scenarios_seeded')")),
            2);

        QCOMPARE(s.names(s.items.byParent(0)), QStringList({"我的工作", "东西放哪了", "日常记录"}));
        QCOMPARE(s.names(s.items.byParent(1)), QStringList({"当前项目", "资料入口"}));
        QCOMPARE(s.names(s.items.byParent(4)), QStringList({"备用钥匙", "重要证件"}));
        QCOMPARE(s.names(s.items.byParent(7)), QStringList({"今日记录"}));
        const DataItem last = s.items.get(8);
        QCOMPARE(last.cont, QStringLiteral("按右侧文本按钮开始记录"));
        QCOMPARE(last.id, last.iid);
        QVERIFY(!last.favorite);
        QVERIFY(last.remark.isEmpty() && last.desc.isEmpty());
        QCOMPARE(s.items.allItems().size(), 8);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks")), 0);
    }

    void reopeningKeepsDeletionsAndDropsLegacyTables()
    {
        QTemporaryDir dir;
        {
            StorageFixture s(dir.path());
            QVERIFY2(s.open(), qPrintable(s.error));
            s.sql(QStringLiteral("DELETE FROM data_items"));
            s.sql(QStringLiteral("CREATE TABLE records (x)"));
            s.sql(QStringLiteral("CREATE TABLE nodes (x)"));
            s.sql(QStringLiteral("CREATE TABLE schema_version (x)"));
        }
        StorageFixture s(dir.path());
        QVERIFY2(s.open(), qPrintable(s.error));
        QCOMPARE(s.items.allItems().size(), 0); // the samples do not come back
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name IN "
                                         "('records', 'nodes', 'schema_version')")),
            0);
    }

    void resetReArmsSeedingOnceOnEmptyFile()
    {
        QTemporaryDir dir;
        craft(dir.path(),
            {oldItemsTable,
                QStringLiteral(
                    "CREATE TABLE app_state (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
                QStringLiteral("INSERT INTO app_state VALUES ('initial_scenarios_seeded', '1')")});
        StorageFixture s(dir.path());
        QVERIFY2(s.open(), qPrintable(s.error));
        QCOMPARE(s.items.allItems().size(), 8);
        QCOMPARE(s.scalar(QStringLiteral(
                     "SELECT COUNT(*) FROM app_state WHERE key NOT LIKE 'search_index%'")),
            2);
    }

    void olderFileKeepsItsItemsAndGainsColumns()
    {
        QTemporaryDir dir;
        craft(dir.path(),
            {oldItemsTable,
                QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                               "(10, 0, 1, 'old', 'kept'), (11, 10, 1, 'child', 'kept too')"),
                QStringLiteral(
                    "CREATE TABLE content_blocks (id INTEGER PRIMARY KEY AUTOINCREMENT, item_iid "
                    "INTEGER NOT NULL, sortid INTEGER NOT NULL, type INTEGER NOT NULL, value TEXT "
                    "NOT NULL DEFAULT '', summary TEXT NOT NULL DEFAULT '')"),
                QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value) VALUES "
                               "(10, 1, 0, '<p>note</p>')")});
        StorageFixture s(dir.path());
        QVERIFY2(s.open(), qPrintable(s.error));
        // User data is never deleted by opening a file: no samples, nothing cleared.
        QCOMPARE(s.names(s.items.allItems()), QStringList({"old", "child"}));
        const DataItem old = s.items.get(10);
        QCOMPARE(old.remark, QString(""));
        QCOMPARE(old.favorite, false);
        QCOMPARE(s.blocks.byItem(10).size(), 1);
        QCOMPARE(s.scalar(QStringLiteral(
                     "SELECT COUNT(*) FROM app_state WHERE key = 'workspace_layout_reset_v1'")),
            1);
        QCOMPARE(s.scalar(QStringLiteral(
                     "SELECT COUNT(*) FROM app_state WHERE key = 'initial_scenarios_seeded'")),
            1);
        // The new columns behave like native ones.
        QString error;
        QVERIFY2(s.service.setFavorite(10, true, &error), qPrintable(error));
        QCOMPARE(s.items.favorites().size(), 1);
        // Every item, old or new however inserted, gets its own global identity.
        s.sql(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                             "(12, 0, 2, 'raw', 'insert')"));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(DISTINCT uuid) FROM data_items WHERE "
                                         "length(uuid) = 32")),
            3);
    }

    void explicitRootThatCannotBeUsedFailsWithoutWritingElsewhere()
    {
        QTemporaryDir dir;
        const QString perUser
            = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        // A regular file where the root (or a folder above it) should be.
        QFile blocker(dir.filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QStringList roots {blocker.fileName(), dir.filePath(QStringLiteral("blocked/here"))};
        // A read-only folder; root ignores permissions, so only an ordinary user can check it.
        const QString readOnly = dir.filePath(QStringLiteral("readonly"));
        QVERIFY(QDir().mkpath(readOnly));
        QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        if (!QFileInfo(readOnly).isWritable())
            roots << readOnly;
        for (const QString &root : roots) {
            StorageFixture s(root);
            QVERIFY2(!s.open(), qPrintable(root));
            QVERIFY2(s.error.contains(QDir::toNativeSeparators(root)), qPrintable(s.error));
            QVERIFY(!QFileInfo::exists(perUser + QStringLiteral("/here")));
        }
        QVERIFY(QFileInfo(blocker.fileName()).isFile());
        QFile::setPermissions(
            readOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void defaultRootFallsBackOnlyWhenItMust()
    {
        QTemporaryDir dir;
        const QString perUser
            = QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
                  .filePath(QStringLiteral("here"));
        // A developer build: data beside the executable.
        const QString build = dir.filePath(QStringLiteral("build/app"));
        QVERIFY(QDir().mkpath(build));
        QCOMPARE(Database::chooseDefaultRoot(build), build + QStringLiteral("/here"));
        QVERIFY(QFileInfo(build + QStringLiteral("/here/data")).isDir());
        QVERIFY(!Database::isInstalledLayout(build));

        // "data" cannot be created beside the executable: a file named "here" is in the way.
        const QString blocked = dir.filePath(QStringLiteral("blocked"));
        QVERIFY(QDir().mkpath(blocked));
        QFile here(blocked + QStringLiteral("/here"));
        QVERIFY(here.open(QIODevice::WriteOnly));
        here.close();
        QCOMPARE(Database::chooseDefaultRoot(blocked), perUser);

        // An installed copy uses the per-user location although its folder is writable here.
        const QString bin = dir.filePath(QStringLiteral("prefix/bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("prefix/share/velto"))));
        QVERIFY(!Database::isInstalledLayout(bin)); // no marker yet
        QFile marker(dir.filePath(QStringLiteral("prefix/share/velto/installed")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QVERIFY(Database::isInstalledLayout(bin));
        QCOMPARE(Database::chooseDefaultRoot(bin), perUser);
        QVERIFY(!QFileInfo::exists(bin + QStringLiteral("/here")));
    }

    void damagedFilesAreRefusedUntouched()
    {
        // Random bytes, and a real database cut short.
        QTemporaryDir randomRoot;
        QDir().mkpath(randomRoot.filePath(QStringLiteral("data")));
        const QString randomFile = Database::databaseFilePath(randomRoot.path());
        {
            QFile file(randomFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray bytes(64 * 1024, Qt::Uninitialized);
            QRandomGenerator generator(42);
            for (char &byte : bytes)
                byte = static_cast<char>(generator.bounded(256));
            file.write(bytes);
        }

        QTemporaryDir truncatedRoot;
        const QString truncatedFile = Database::databaseFilePath(truncatedRoot.path());
        {
            StorageFixture s(truncatedRoot.path());
            QVERIFY2(s.open(), qPrintable(s.error));
            const QString big(4000, QLatin1Char('x'));
            for (int i = 0; i < 200; ++i)
                QVERIFY(s.add(big + QString::number(i)) != 0);
        }
        {
            QFile file(truncatedFile);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.size() > 200 * 1024);
            QVERIFY(file.resize(file.size() / 2));
        }

        for (const QString &path : {randomFile, truncatedFile}) {
            const QByteArray before = fileHash(path);
            const QString root = QFileInfo(path).dir().absoluteFilePath(QStringLiteral(".."));
            StorageFixture s(root);
            QVERIFY2(!s.open(), qPrintable(path));
            QVERIFY2(!s.error.isEmpty(), qPrintable(path));
            s.database.close();
            QCOMPARE(fileHash(path), before);
        }
    }

    // Older files (rollback journal) are read through before their first write, then converted
    // to WAL; hidden damage in one is refused untouched.
    void olderJournalFileIsCheckedThenConverted()
    {
        QTemporaryDir dir;
        const QString file = Database::databaseFilePath(dir.path());
        craft(dir.path(),
            {oldItemsTable,
                QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                               "(10, 0, 1, 'old', 'kept')")});
        QTemporaryDir damagedDir;
        const QString damagedFile = Database::databaseFilePath(damagedDir.path());
        QDir().mkpath(damagedDir.filePath(QStringLiteral("data")));
        QVERIFY(QFile::copy(file, damagedFile));
        QVERIFY(plantHiddenDamage(damagedFile));
        {
            StorageFixture s(dir.path());
            s.database.setCheckInBackground(true); // an old file is checked before writing anyway
            QVERIFY2(s.open(), qPrintable(s.error));
            QVERIFY(!s.database.fullCheckPending());
            QCOMPARE(journalMode(s), QStringLiteral("wal"));
            QCOMPARE(s.names(s.items.allItems()), QStringList({"old"}));
            QVERIFY(CheckSchedule(file).lastPass().isValid());
        }
        const QByteArray before = fileHash(damagedFile);
        StorageFixture s(damagedDir.path());
        s.database.setCheckInBackground(true);
        QVERIFY(!s.open());
        QVERIFY2(s.error.contains(QStringLiteral("已损坏")), qPrintable(s.error));
        s.database.close();
        QCOMPARE(fileHash(damagedFile), before);
    }

    // A file in WAL is read through at opening only when that is due, and in the background
    // when asked; hidden damage is then found before opening ends.
    void walFileIsCheckedWhenDue()
    {
        QTemporaryDir dir;
        const QString file = Database::databaseFilePath(dir.path());
        {
            StorageFixture s(dir.path());
            QVERIFY2(s.open(), qPrintable(s.error));
            QCOMPARE(journalMode(s), QStringLiteral("wal"));
        }
        QVERIFY(plantHiddenDamage(file));
        {
            StorageFixture s(dir.path()); // a new file counts as checked: not due
            QVERIFY2(s.open(), qPrintable(s.error));
            QVERIFY(!s.database.fullCheckPending());
        }
        QVERIFY(QFile::remove(CheckSchedule(file).checkedPath()));
        {
            StorageFixture s(dir.path());
            s.database.setCheckInBackground(true);
            QVERIFY2(s.open(), qPrintable(s.error));
            QVERIFY(s.database.fullCheckPending());
        }
        const QByteArray before = fileHash(file);
        StorageFixture s(dir.path());
        QVERIFY(!s.open());
        QVERIFY2(s.error.contains(QStringLiteral("已损坏")), qPrintable(s.error));
        s.database.close();
        QCOMPARE(fileHash(file), before);
    }

    void checkIsDueAfterAnUncleanEndOrAWeek()
    {
        QTemporaryDir dir;
        CheckSchedule schedule(dir.filePath(QStringLiteral("x.db")));
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(schedule.isDue(now)); // never checked
        schedule.recordPass(now);
        QVERIFY(!schedule.isDue(now.addDays(6)));
        QVERIFY(schedule.isDue(now.addDays(7)));
        QVERIFY(schedule.isDue(now.addDays(-2))); // the clock went back

        schedule.beginSession(); // this process: alive
        QVERIFY(!schedule.previousSessionUnclean() && !schedule.isDue(now));
        schedule.endSession();
        QVERIFY(!QFile::exists(schedule.sessionPath()));

        // A mark left by a process that has ended; one from another machine is taken as live.
        QProcess gone;
        gone.start(QStringLiteral("true"), {});
        QVERIFY(gone.waitForStarted());
        const qint64 pid = gone.processId();
        QVERIFY(gone.waitForFinished());
        const auto mark = [&](const QByteArray &host) {
            QFile out(schedule.sessionPath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(QByteArray::number(pid) + '\n' + host + '\n');
        };
        mark(QSysInfo::machineHostName().toUtf8());
        QVERIFY(schedule.previousSessionUnclean() && schedule.isDue(now));
        mark("elsewhere.invalid");
        QVERIFY(!schedule.previousSessionUnclean() && !schedule.isDue(now));
        mark(QSysInfo::machineHostName().toUtf8());
        schedule.recordPass(now); // the check that followed passed: the stale mark goes
        QVERIFY(!QFile::exists(schedule.sessionPath()));
    }

    void readOnlyFileIsNeverChanged()
    {
        QTemporaryDir dir;
        {
            StorageFixture s(dir.path());
            QVERIFY2(s.open(), qPrintable(s.error));
        }
        const QString path = Database::databaseFilePath(dir.path());
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        const QByteArray before = fileHash(path);
        {
            StorageFixture s(dir.path());
            if (s.open()) {
                // Reading works; every write reports the driver's text.
                QCOMPARE(s.items.allItems().size(), 8);
                QString error;
                QCOMPARE(s.add(QStringLiteral("new")), 0);
                QVERIFY(!s.service.save(s.items.get(1), &error));
                QVERIFY(!error.isEmpty());
                error.clear();
                QVERIFY(!s.service.erase(8, &error));
                QVERIFY(!error.isEmpty());
                error.clear();
                QVERIFY(!s.blocks.replace(1, {}, &error));
                QVERIFY(!error.isEmpty());
                error.clear();
                QVERIFY(!s.service.recordRecent(1, &error));
                QVERIFY(!error.isEmpty());
            } else {
                QVERIFY(!s.error.isEmpty());
            }
        }
        QCOMPARE(fileHash(path), before);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    void unopenableFileReportsDriverText()
    {
        QTemporaryDir dir;
        // A folder where the database file should be.
        QVERIFY(QDir().mkpath(Database::databaseFilePath(dir.path())));
        StorageFixture s(dir.path());
        QVERIFY(!s.open());
        QVERIFY(!s.error.isEmpty());
    }
};

VELTO_TEST_MAIN_CORE(TestDatabase)
#include "tst_database.moc"
