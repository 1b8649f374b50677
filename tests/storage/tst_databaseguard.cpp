#include "DatabaseCheck.h"
#include "DatabaseDamage.h"
#include "DatabaseGuard.h"
#include "StorageFixture.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

using namespace velto::test;

namespace {

constexpr int checkTimeoutMs = 60000;

} // namespace

class TestDatabaseGuard : public QObject {
    Q_OBJECT

private slots:
    // Saves go on while every page is read; the damage found then stops all writing, and nothing
    // written meanwhile reached the file: it stays as it was, its log beside it.
    void hiddenDamageIsFoundBeforeAnyWriteReachesTheFile()
    {
        QTemporaryDir dir;
        const QString file = Database::databaseFilePath(dir.path());
        {
            StorageFixture s(dir.path());
            QVERIFY2(s.open(), qPrintable(s.error));
        }
        QVERIFY(plantHiddenDamage(file));
        QVERIFY(QFile::remove(CheckSchedule(file).checkedPath())); // the check is due
        const QByteArray before = fileHash(file);

        StorageFixture s(dir.path());
        s.database.setCheckInBackground(true);
        QVERIFY2(s.open(), qPrintable(s.error)); // the cheap checks cannot see it
        DatabaseGuard guard(&s.database);
        QSignalSpy damaged(&guard, &DatabaseGuard::damaged);
        QSignalSpy sound(&guard, &DatabaseGuard::sound);
        guard.start();
        QVERIFY(s.add(QStringLiteral("during the check")) != 0);
        QVERIFY2(damaged.wait(checkTimeoutMs), "the check never reported the damage");
        QVERIFY(sound.isEmpty());
        QCOMPARE(guard.state(), DatabaseGuard::State::Damaged);
        QVERIFY2(damaged.at(0).at(0).toString().contains(QStringLiteral("已损坏")),
            qPrintable(damaged.at(0).at(0).toString()));

        DataItem item;
        item.here = QStringLiteral("after the check");
        item.cont = QStringLiteral("x");
        QString error;
        QCOMPARE(s.service.create(item, &error), 0);
        QVERIFY2(error.contains(QStringLiteral("readonly")), qPrintable(error));
        QCOMPARE(s.names(s.items.searchByName(QStringLiteral("during"), 5)),
            QStringList({"during the check"})); // still shown, from the log

        guard.finish();
        s.database.close();
        QCOMPARE(fileHash(file), before);
        QVERIFY(QFile::exists(file + QStringLiteral("-wal")));
        QVERIFY(CheckSchedule(file).isDue()); // the next start checks again
    }

    // A sound file: the pass is recorded, the log is moved into the file by the guard's own
    // checkpoints, and a clean end leaves neither the session mark nor the log behind.
    void soundFileGetsCheckpointsAndEndsCleanly()
    {
        QTemporaryDir dir;
        const QString file = Database::databaseFilePath(dir.path());
        {
            StorageFixture s(dir.path());
            QVERIFY2(s.open(), qPrintable(s.error));
        }
        QVERIFY(QFile::remove(CheckSchedule(file).checkedPath()));
        StorageFixture s(dir.path());
        s.database.setCheckInBackground(true);
        QVERIFY2(s.open(), qPrintable(s.error));
        DatabaseGuard guard(&s.database);
        QSignalSpy sound(&guard, &DatabaseGuard::sound);
        guard.start();
        QVERIFY(QFile::exists(CheckSchedule(file).sessionPath()));
        QVERIFY2(sound.wait(checkTimeoutMs), "the check never passed");
        QVERIFY(CheckSchedule(file).lastPass().isValid());
        // The log's header is written and synced off this thread, so that a first commit which
        // need not wait for the disk (a recorded visit) does not wait for it either.
        QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(file + QStringLiteral("-wal")).size() >= 32 + 24 + 4096,
            "the guard never started the log", 30000);

        // More than a checkpoint's worth of pages in one save: only the guard's checkpoint makes
        // the file itself grow.
        const qint64 sizeBefore = QFileInfo(file).size();
        ContentBlock note;
        // Twice the checkpoint's pages of 4 KiB in the block alone (no index row is written here).
        note.value = QString(8 * DatabaseGuard::checkpointPages * 1024, QLatin1Char('n'));
        QString error;
        QVERIFY2(s.service.replaceContentBlocks(1, {note}, &error), qPrintable(error));
        QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(file).size() > sizeBefore + 2 * 1024 * 1024,
            "no checkpoint moved the log into the file", 30000);

        guard.finish();
        QVERIFY(!QFile::exists(CheckSchedule(file).sessionPath()));
        s.database.close();
        QVERIFY(!QFile::exists(file + QStringLiteral("-wal")));
        StorageFixture again(dir.path());
        QVERIFY2(again.open(), qPrintable(again.error));
        QCOMPARE(again.service.contentBlocks(1).value(0).value.size(), note.value.size());
    }
};

VELTO_TEST_MAIN_CORE(TestDatabaseGuard)
#include "tst_databaseguard.moc"
