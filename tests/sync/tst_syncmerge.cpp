// The merge of sync on local folders playing the server: identity, change records, conflicts,
// deletions, moves and loops, and convergence.
#include "ExportDocument.h"
#include "FolderTransport.h"
#include "ImportTransaction.h"
#include "SearchIndexObserver.h"
#include "SyncDevices.h"
#include "SyncJournal.h"
#include "SyncLocal.h"
#include "SyncRecords.h"
#include "TestSupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSqlError>
#include <QTest>

#include <random>

using namespace datasync;

namespace {

const QString copySuffix = QStringLiteral("（冲突副本）");

// The server's folder, unreachable for uploads: records stay in the outbox.
class Unreachable : public FolderTransport {
public:
    using FolderTransport::FolderTransport;
    Result putNew(const QString &, const QByteArray &, QString *error) override
    {
        if (error)
            *error = QStringLiteral("连接断开");
        return Result::Failed;
    }
};

// Syncs every device in turn, twice, so that everything written anywhere reaches everyone.
void syncAll(const QList<SyncDevice *> &devices, SyncTransport *server)
{
    for (int round = 0; round < 2; ++round) {
        for (SyncDevice *device : devices) {
            const SyncReport report = device->sync(server);
            QVERIFY2(report.ok, qPrintable(report.error));
        }
    }
}

} // namespace

class TestSyncMerge : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SearchIndexObserver::install();
        SyncJournal::install();
    }

    void positionKeysStayOrderedAndShort()
    {
        QCOMPARE(poskey::between(QString(), QString()), QStringLiteral("i"));
        const QList<QPair<QString, QString>> pairs {{QString(), QStringLiteral("1")},
            {QStringLiteral("1"), QStringLiteral("2")}, {QStringLiteral("z"), QString()},
            {QStringLiteral("a"), QStringLiteral("a1")}, {QStringLiteral("0001"), QString()},
            {QString(), QStringLiteral("0001")}, {QStringLiteral("az"), QStringLiteral("b")}};
        for (const auto &pair : pairs) {
            const QString key = poskey::between(pair.first, pair.second);
            QVERIFY2(key > pair.first && (pair.second.isEmpty() || key < pair.second),
                qPrintable(pair.first + QLatin1Char('<') + key + QLatin1Char('<') + pair.second));
            QVERIFY(!key.endsWith(QLatin1Char('0')));
        }
        // Many keys at once are increasing and stay short.
        const QStringList keys = poskey::spread(QString(), QString(), 100000);
        QCOMPARE(keys.size(), 100000);
        for (qsizetype i = 1; i < keys.size(); ++i)
            QVERIFY(keys.at(i - 1) < keys.at(i));
        QVERIFY(keys.last().size() <= 5);
        // Repeated insertion at the same place keeps working.
        QString low, high = QStringLiteral("1");
        for (int i = 0; i < 200; ++i) {
            const QString key = poskey::between(low, high);
            QVERIFY(key > low && key < high);
            high = key;
        }
    }

    void identityAndJournalFollowEveryWrite()
    {
        SyncDevice a(QStringLiteral("a"));
        QSqlDatabase db = a.database.connection();
        const QString uuid = datasync::local::uuidOf(db, 1);
        QCOMPARE(uuid.size(), 32);
        const qint64 iid = a.add(QStringLiteral("新条目"), 1);
        QVERIFY(datasync::local::uuidOf(db, iid) != uuid);
        QCOMPARE(datasync::local::scalar(db,
                     QStringLiteral("SELECT COUNT(*) FROM data_items WHERE "
                                    "uuid IS NULL")),
            QVariant(0));
        // Every item present when the journal started is marked, and so is each new one.
        QCOMPARE(
            datasync::local::scalar(db, QStringLiteral("SELECT COUNT(*) FROM sync_dirty")).toInt(),
            9);
        QSqlQuery(db).exec(QStringLiteral("DELETE FROM sync_dirty"));
        QString error;
        QVERIFY(a.service.setFavorite(2, true, &error));
        QVERIFY(a.service.move(3, -1, &error));
        QVERIFY(a.service.erase(iid, &error));
        QCOMPARE(datasync::local::scalar(db,
                     QStringLiteral("SELECT group_concat(iid) FROM (SELECT "
                                    "iid FROM sync_dirty ORDER BY iid)"))
                     .toString(),
            QStringLiteral("2,%1").arg(iid));
        QVERIFY(datasync::local::scalar(db, QStringLiteral("SELECT body FROM sync_tombstones"))
                    .toString()
                    .contains(QStringLiteral("新条目")));
        QVERIFY(datasync::local::scalar(db,
            QStringLiteral("SELECT 1 FROM sync_dirty_parents WHERE "
                           "pid = 1"))
                    .isValid());
        // A failed write leaves no mark: the mark belongs to the change's transaction.
        QSqlQuery(db).exec(QStringLiteral("DELETE FROM sync_dirty"));
        DataItem bad = a.items.get(2);
        bad.here = QStringLiteral("  ");
        QVERIFY(!a.service.save(bad, &error));
        QCOMPARE(datasync::local::scalar(db, QStringLiteral("SELECT COUNT(*) FROM sync_dirty")),
            QVariant(0));
    }

    void firstSyncBothWaysAndSamplesAreNotDoubled()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        a.add(QStringLiteral("A 的笔记"), 1, QStringLiteral("<p>正文</p>"));
        SyncReport report = a.sync(&transport);
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(report.sent >= 9);
        // b holds only its untouched samples: it takes the server's tree instead of adding them.
        SyncDevice b(QStringLiteral("b"));
        report = b.sync(&transport);
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(report.tookServerTree);
        QCOMPARE(b.tree(), a.tree());
        // c changed a sample before its first sync: its items are its own and are added.
        SyncDevice c(QStringLiteral("c"));
        QVERIFY(c.rename(8, QStringLiteral("C 的记录")));
        report = c.sync(&transport);
        QVERIFY(report.ok && !report.tookServerTree);
        syncAll({&a, &b, &c}, &transport);
        QCOMPARE(a.tree().size(), 9 + 8);
        QCOMPARE(b.tree(), a.tree());
        QCOMPARE(c.tree(), a.tree());
        // Nothing changed: a sync sends and receives nothing.
        report = a.sync(&transport);
        QVERIFY(report.ok);
        QCOMPARE(report.sent, 0);
        QCOMPARE(report.received, 0);
    }

    void importedItemsReachTheOtherDevices()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        a.add(QStringLiteral("带笔记的条目"), a.find(QStringLiteral("日常记录")),
            QStringLiteral("<p>导入前的笔记</p>"));
        syncAll({&a, &b}, &transport);
        const int before = a.tree().size();
        // The manual bridge: a's own export imported back into a adds a second copy of its tree.
        ImportTransaction import(&a.database);
        QString error;
        QVERIFY2(import.loadBytes(ExportDocument::build(&a.database), &error) && import.run(&error),
            qPrintable(error));
        QCOMPARE(a.tree().size(), 2 * before);
        syncAll({&a, &b}, &transport);
        QCOMPARE(b.tree(), a.tree());
    }

    // A database restored from a backup (or copied) meets what the original wrote since under the
    // same identity: it rejoins as a new device, and the edits of both lives are kept.
    // A database restored from a backup (or copied) meets what the original wrote since under the
    // same identity: it goes on under a new one, and the edits of both are kept. The original
    // wrote one segment since (found when the copy uploads its own under that number) or two
    // (found in the listing).
    void aRestoredBackupRejoinsUnderANewIdentity()
    {
        for (const int segmentsSince : {1, 2})
            restoredBackupRejoins(segmentsSince);
    }

private:
    void restoredBackupRejoins(int segmentsSince)
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        const qint64 shared = a.add(QStringLiteral("共同的条目"), 0, QStringLiteral("<p>笔记</p>"));
        const qint64 other = a.add(QStringLiteral("另一个条目"));
        syncAll({&a, &b}, &transport);
        int expected = a.tree().size() + 1; // one conflict copy

        SyncDevice restored(QStringLiteral("restored"));
        restored.database.close();
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(restored.file() + suffix);
        QSqlQuery copy(a.database.connection());
        QVERIFY2(copy.exec(QStringLiteral("VACUUM INTO '%1'").arg(restored.file())),
            qPrintable(copy.lastError().text()));
        QString error;
        QVERIFY2(restored.database.open(&error), qPrintable(error));

        // The original goes on, then the restored copy makes its own edits.
        QVERIFY(a.rename(shared, QStringLiteral("原来那台之后的改动")));
        QVERIFY(a.sync(&transport).ok);
        if (segmentsSince == 2) {
            a.add(QStringLiteral("原来那台新加的"));
            QVERIFY(a.sync(&transport).ok);
            ++expected;
        }
        QVERIFY(restored.rename(other, QStringLiteral("恢复之后的改动")));
        QVERIFY(restored.rename(shared, QStringLiteral("恢复后也改了它")));
        SyncReport report = restored.sync(&transport);
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(report.tookNewIdentity);
        // Its two edits and the conflict copy (content and place), not the whole tree again.
        QVERIFY2(report.sent <= 4, qPrintable(QString::number(report.sent)));
        report = restored.sync(&transport);
        QVERIFY(report.ok && !report.tookNewIdentity);

        syncAll({&a, &b, &restored}, &transport);
        const QStringList tree = a.tree();
        QCOMPARE(b.tree(), tree);
        QCOMPARE(restored.tree(), tree);
        // Every edit is there; the item both changed is there twice (winner and conflict copy),
        // the others once.
        const QString joined = tree.join(QLatin1Char('\n'));
        for (const QString &edit : {QStringLiteral("原来那台之后的改动"),
                 QStringLiteral("恢复之后的改动"), QStringLiteral("恢复后也改了它")})
            QVERIFY2(joined.contains(edit), qPrintable(joined));
        QVERIFY2(tree.size() == expected, qPrintable(joined));
    }

private slots:
    void concurrentEditsKeepBothAndEditBeatsDelete()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        syncAll({&a, &b}, &transport);
        const qint64 onA = a.find(QStringLiteral("当前项目"));
        const qint64 onB = b.find(QStringLiteral("当前项目"));
        QVERIFY(onA && onB);
        QVERIFY(a.rename(onA, QStringLiteral("当前项目"), QStringLiteral("A 改的")));
        QVERIFY(b.rename(onB, QStringLiteral("当前项目"), QStringLiteral("B 改的")));
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        const QString tree = a.tree().join(QLatin1Char('\n'));
        // B changed last: its version wins, A's is kept beside it as a copy.
        QVERIFY2(tree.contains(QStringLiteral("当前项目|B 改的")), qPrintable(tree));
        QVERIFY2(tree.contains(QStringLiteral("当前项目") + copySuffix + QStringLiteral("|A 改的")),
            qPrintable(tree));
        // Edit on one side, deletion on the other: the item stays with the edit.
        const qint64 keyA = a.find(QStringLiteral("备用钥匙"));
        const qint64 keyB = b.find(QStringLiteral("备用钥匙"));
        QString error;
        QVERIFY(a.service.erase(keyA, &error));
        QVERIFY(b.rename(keyB, QStringLiteral("备用钥匙"), QStringLiteral("在门口")));
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        QVERIFY(a.tree().join(QLatin1Char('\n')).contains(QStringLiteral("备用钥匙|在门口")));
        // A plain deletion reaches the other side.
        QVERIFY(a.service.erase(a.find(QStringLiteral("重要证件")), &error));
        syncAll({&a, &b}, &transport);
        QCOMPARE(b.find(QStringLiteral("重要证件")), 0);
        QCOMPARE(a.tree(), b.tree());
        // A child added under an item deleted elsewhere brings the item back.
        const qint64 dailyB = b.find(QStringLiteral("今日记录"));
        QVERIFY(a.service.erase(a.find(QStringLiteral("今日记录")), &error));
        b.add(QStringLiteral("下面的新条目"), dailyB);
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        QVERIFY(a.find(QStringLiteral("今日记录")) != 0);
        QCOMPARE(a.items.get(a.find(QStringLiteral("下面的新条目"))).pid,
            a.find(QStringLiteral("今日记录")));
    }

    void anItemBeingEditedWaitsAndItsEditBecomesAConflictCopy()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        syncAll({&a, &b}, &transport);
        const qint64 item = a.find(QStringLiteral("日常记录"));
        QVERIFY(b.rename(b.find(QStringLiteral("日常记录")), QStringLiteral("日常记录"),
            QStringLiteral("B 的改动")));
        QVERIFY(b.sync(&transport).ok);
        // The window on a is editing the item: the incoming change waits.
        SyncEngine::setHeldItems({item});
        QVERIFY(a.sync(&transport).ok);
        QCOMPARE(a.items.get(item).cont, QStringLiteral("今天需要记住的事"));
        // The edit is saved: it was made on the old version, so both are kept.
        SyncEngine::setHeldItems({});
        QVERIFY(a.rename(item, QStringLiteral("日常记录"), QStringLiteral("A 的改动")));
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        const QString tree = a.tree().join(QLatin1Char('\n'));
        QVERIFY2(tree.contains(QStringLiteral("日常记录|A 的改动")), qPrintable(tree));
        QVERIFY2(
            tree.contains(QStringLiteral("日常记录") + copySuffix + QStringLiteral("|B 的改动")),
            qPrintable(tree));
    }

    void movesMergeAndALoopIsRefusedTheSameWayEverywhere()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        syncAll({&a, &b}, &transport);
        QString error;
        // Moves on both sides, of different items, and an order change.
        QVERIFY(a.service.moveToParent(a.find(QStringLiteral("资料入口")), 0, &error));
        QVERIFY(b.service.moveToParent(
            b.find(QStringLiteral("今日记录")), b.find(QStringLiteral("东西放哪了")), &error));
        QVERIFY(b.service.move(b.find(QStringLiteral("日常记录")), -1, &error));
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        QCOMPARE(a.items.get(a.find(QStringLiteral("资料入口"))).pid, 0);
        QCOMPARE(a.items.get(a.find(QStringLiteral("今日记录"))).pid,
            a.find(QStringLiteral("东西放哪了")));
        // A moves X under Y while B moves Y under X: the later move is refused on both.
        const qint64 xA = a.find(QStringLiteral("我的工作"));
        const qint64 yA = a.find(QStringLiteral("日常记录"));
        QVERIFY(a.service.moveToParent(xA, yA, &error));
        QVERIFY(b.service.moveToParent(
            b.find(QStringLiteral("日常记录")), b.find(QStringLiteral("我的工作")), &error));
        syncAll({&a, &b}, &transport);
        QCOMPARE(a.tree(), b.tree());
        QCOMPARE(a.items.get(xA).pid, yA);
        QCOMPARE(a.items.get(yA).pid, 0);
        for (SyncDevice *device : {&a, &b}) {
            // No item of either tree is lost in a loop: all are reachable from the top.
            QCOMPARE(device->tree().size(), int(device->items.allItems().size()));
        }
    }

    void anItemDeletedElsewhereStaysOnlyWhileAChildNeedsIt()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        SyncDevice d(QStringLiteral("d"));
        b.clear();
        d.clear();
        syncAll({&a, &b, &d}, &transport);
        const QString parent = QStringLiteral("今日记录");
        const QString child = QStringLiteral("备用钥匙");
        QString error;
        // b puts the child under the parent, a takes it out again, d deletes the parent.
        QVERIFY(b.service.moveToParent(b.find(child), b.find(parent), &error));
        QVERIFY(b.sync(&transport).ok);
        QVERIFY(a.sync(&transport).ok);
        QVERIFY(a.service.moveToParent(a.find(child), 0, &error));
        QVERIFY(a.sync(&transport).ok);
        QVERIFY(d.service.erase(d.find(parent), &error));
        QVERIFY(d.sync(&transport).ok);
        // b still holds the child under the parent when the deletion arrives.
        QVERIFY(b.sync(&transport).ok);
        syncAll({&a, &b, &d}, &transport);
        QCOMPARE(b.tree(), d.tree());
        QCOMPARE(a.tree(), d.tree());
        QCOMPARE(b.find(parent), 0);
        QCOMPARE(b.items.get(b.find(child)).pid, 0);
    }

    // A computer that joins from a snapshot and the segments after it reaches the tree of one that
    // read every segment: conflict copies, an edit that beat a deletion and moves included.
    void aSnapshotAndTheLaterSegmentsGiveTheSameTree()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        Unreachable unreachable(server.path());
        SyncDevice x(QStringLiteral("x"));
        SyncDevice y(QStringLiteral("y"));
        SyncDevice z(QStringLiteral("z"));
        y.clear();
        z.clear();
        syncAll({&x, &y, &z}, &transport);
        QString error;
        QVERIFY(x.rename(x.find(QStringLiteral("当前项目")), QStringLiteral("当前项目"),
            QStringLiteral("X 改的")));
        QVERIFY(y.rename(y.find(QStringLiteral("当前项目")), QStringLiteral("当前项目"),
            QStringLiteral("Y 改的")));
        QVERIFY(x.service.erase(x.find(QStringLiteral("备用钥匙")), &error));
        QVERIFY(y.rename(y.find(QStringLiteral("备用钥匙")), QStringLiteral("备用钥匙"),
            QStringLiteral("在门口")));
        QVERIFY(x.service.erase(x.find(QStringLiteral("重要证件")), &error));
        QVERIFY(y.service.moveToParent(
            y.find(QStringLiteral("今日记录")), y.find(QStringLiteral("东西放哪了")), &error));
        syncAll({&x, &y}, &transport);
        // z, behind, makes the text of a version the winner descends from, with an earlier
        // time, and its record reaches the server only after the snapshot: no conflict, which
        // only the history kept in the snapshot can tell.
        QVERIFY(x.rename(x.find(QStringLiteral("日常记录")), QStringLiteral("日常记录"),
            QStringLiteral("改一次")));
        syncAll({&x, &y}, &transport);
        QVERIFY(z.rename(z.find(QStringLiteral("日常记录")), QStringLiteral("日常记录"),
            QStringLiteral("改一次")));
        QVERIFY(!z.sync(&unreachable).ok);
        QVERIFY(y.rename(y.find(QStringLiteral("日常记录")), QStringLiteral("日常记录"),
            QStringLiteral("再改")));
        const SyncReport wrote
            = y.sync(&transport, [](SyncEngine &engine) { engine.setSnapshotEvery(1); });
        QVERIFY2(wrote.ok && wrote.wroteSnapshot, qPrintable(wrote.error));
        // Written after the snapshot: only in segments.
        QVERIFY(z.sync(&transport).ok);
        QVERIFY(x.rename(x.find(QStringLiteral("资料入口")), QStringLiteral("资料入口"),
            QStringLiteral("X 后来改的")));
        x.add(QStringLiteral("快照之后"), x.find(QStringLiteral("我的工作")),
            QStringLiteral("<p>新</p>"));
        QVERIFY(x.sync(&transport).ok);

        SyncDevice fromSnapshot(QStringLiteral("s"));
        const SyncReport joined = fromSnapshot.sync(&transport);
        QVERIFY2(
            joined.ok && joined.fromSnapshot && joined.tookServerTree, qPrintable(joined.error));
        SyncDevice fromSegments(QStringLiteral("t"));
        const SyncReport read = fromSegments.sync(
            &transport, [](SyncEngine &engine) { engine.setUseSnapshots(false); });
        QVERIFY2(read.ok && !read.fromSnapshot, qPrintable(read.error));
        QVERIFY(read.received > joined.received);
        syncAll({&x, &y, &z}, &transport);
        const QStringList tree = x.tree();
        QCOMPARE(fromSegments.tree(), tree);
        QCOMPARE(fromSnapshot.tree(), tree);
        QCOMPARE(y.tree(), tree);
        QCOMPARE(z.tree(), tree);
        const QString text = tree.join(QLatin1Char('\n'));
        QVERIFY2(text.contains(QStringLiteral("当前项目") + copySuffix), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("备用钥匙|在门口")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("日常记录|再改")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("日常记录") + copySuffix), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("资料入口|X 后来改的")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("快照之后")), qPrintable(text));
        // The joined computers go on like the others: nothing is sent twice or lost.
        syncAll({&x, &y, &z, &fromSnapshot, &fromSegments}, &transport);
        QCOMPARE(fromSnapshot.tree(), x.tree());
        QCOMPARE(fromSegments.tree(), x.tree());
    }

    void randomOperationsConverge()
    {
        QTemporaryDir server;
        FolderTransport transport(server.path());
        std::vector<std::unique_ptr<SyncDevice>> owned;
        QList<SyncDevice *> devices;
        for (int i = 0; i < 3; ++i) {
            owned.push_back(std::make_unique<SyncDevice>(QString::number(i)));
            devices.append(owned.back().get());
        }
        syncAll(devices, &transport);
        // VELTO_SYNC_SEED replays another sequence.
        QRandomGenerator random(quint32(qEnvironmentVariableIntValue("VELTO_SYNC_SEED")) + 20);
        QStringList edits; // every content line written anywhere
        int serial = 0;
        for (int round = 0; round < 6; ++round) {
            for (SyncDevice *device : devices) {
                const QList<DataItem> all = device->items.allItems();
                for (int op = 0; op < 6 && !all.isEmpty(); ++op) {
                    const DataItem item
                        = device->items.get(all.at(random.bounded(int(all.size()))).iid);
                    if (item.iid == 0)
                        continue;
                    QString error;
                    switch (random.bounded(5)) {
                    case 0: {
                        // Edits add to the remark, so a later edit that saw this one keeps it.
                        DataItem edited = item;
                        const QString text = QStringLiteral("编辑%1").arg(++serial);
                        edited.remark = QString(item.remark + QLatin1Char(' ') + text).trimmed();
                        if (device->service.save(edited, &error))
                            edits << text;
                        break;
                    }
                    case 1:
                        device->add(QStringLiteral("新%1").arg(++serial), item.iid);
                        break;
                    case 2:
                        device->service.moveToParent(
                            item.iid, all.at(random.bounded(int(all.size()))).iid, &error);
                        break;
                    case 3:
                        device->service.move(item.iid, random.bounded(2) ? 1 : -1, &error);
                        break;
                    default:
                        // Only items nobody edited here yet: a deletion that saw an edit
                        // removes it on purpose.
                        if (item.remark.isEmpty())
                            device->service.erase(item.iid, &error);
                        break;
                    }
                }
            }
            // Some devices sync, in a random order.
            QList<SyncDevice *> order = devices;
            std::shuffle(order.begin(), order.end(), std::mt19937(random.generate()));
            for (int k = 0; k < random.bounded(1, 4); ++k) {
                const SyncReport report = order.at(k)->sync(&transport);
                QVERIFY2(report.ok, qPrintable(report.error));
            }
        }
        syncAll(devices, &transport);
        const QStringList tree = devices.at(0)->tree();
        for (SyncDevice *device : devices) {
            if (device->tree() != tree)
                qWarning().noquote()
                    << tree.join(QLatin1Char('\n')) << "\n----\n"
                    << device->tree().join(QLatin1Char('\n')) << "\n----\n"
                    << devices.at(0)->places().join(QLatin1Char('\n')) << "\n----\n"
                    << device->places().join(QLatin1Char('\n'));
            QCOMPARE(device->tree(), tree);
        }
        // Every edit made anywhere is there, in the winner or in a conflict copy.
        QVERIFY(edits.size() > 10);
        const QString all = tree.join(QLatin1Char('\n')) + QLatin1Char('\n');
        for (const QString &edit : qAsConst(edits)) {
            QVERIFY2(all.contains(edit + QLatin1Char(' ')) || all.contains(edit + QLatin1Char('|')),
                qPrintable(edit));
        }
        QCOMPARE(int(devices.at(0)->items.allItems().size()), int(tree.size()));
    }
};

VELTO_TEST_MAIN_CORE(TestSyncMerge)
#include "tst_syncmerge.moc"
