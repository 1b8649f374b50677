#include "StorageFixture.h"
#include "TestSupport.h"

class TestDataItemRepository : public QObject {
    Q_OBJECT

private slots:
    void readsAndAllocatesIdentities()
    {
        EmptyStorage s;
        QCOMPARE(s.items.nextSortId(0), 1);
        QCOMPARE(s.items.get(1).iid, 0); // not found = default record
        QVERIFY(!s.items.hasChildren(0));

        DataItem item;
        item.here = QStringLiteral("a \"quoted\" 'name'");
        item.cont = QStringLiteral("c");
        item.desc = QStringLiteral("[{\"type\":0}]");
        QString error;
        QCOMPARE(s.items.insert(item, &error), 1); // first of an empty table
        item.iid = 0;
        QCOMPARE(s.items.insert(item, &error), 2);
        item.iid = 40; // chosen identities are kept
        QCOMPARE(s.items.insert(item, &error), 40);
        item.iid = 0;
        QCOMPARE(s.items.insert(item, &error), 41);
        QVERIFY(s.items.remove(41, &error));
        item.iid = 0;
        QCOMPARE(s.items.insert(item, &error), 41); // the largest freed identity is given again

        item.iid = 40; // duplicate identity: 0 with the driver's text
        QCOMPARE(s.items.insert(item, &error), 0);
        QVERIFY(error.contains(QStringLiteral("UNIQUE"), Qt::CaseInsensitive));

        const DataItem read = s.items.get(40);
        QCOMPARE(read.id, 40);
        QCOMPARE(read.here, item.here);
        QCOMPARE(read.desc, item.desc);
        QVERIFY(s.items.hasChildren(0));
        QCOMPARE(s.items.nextSortId(0), 1); // all inserted with sortid 0

        // A record with null strings is stored with '' rather than failing NOT NULL.
        DataItem bare;
        bare.iid = 50;
        QCOMPARE(s.items.insert(bare, &error), 50);
        QCOMPARE(s.items.get(50).here, QString(""));
    }

    void searchEscapesLikeWildcards()
    {
        EmptyStorage s;
        for (const char *name :
            {"50%", "500 items", "5 0%", "a_b", "axb", "back\\slash", "Mixed Case", "中文名称"})
            s.add(QString::fromUtf8(name));
        const auto search = [&](const QString &text) {
            QStringList found = s.names(s.items.searchByName(text, 100));
            found.sort();
            return found;
        };
        QCOMPARE(search(QStringLiteral("   ")), QStringList());
        QCOMPARE(search(QStringLiteral("50%")), QStringList({"50%"}));
        QCOMPARE(search(QStringLiteral("a_b")), QStringList({"a_b"}));
        QCOMPARE(search(QStringLiteral("\\")), QStringList({"back\\slash"}));
        QCOMPARE(search(QStringLiteral("  mixed ")), QStringList({"Mixed Case"}));
        QCOMPARE(search(QStringLiteral("中文")), QStringList({"中文名称"}));
        QCOMPARE(search(QStringLiteral("%")), QStringList({"5 0%", "50%"}));

        // Newest identity first; limits below 1 act as 1.
        QCOMPARE(s.names(s.items.searchByName(QStringLiteral("5"), 100)),
            QStringList({"5 0%", "500 items", "50%"}));
        QCOMPARE(s.items.searchByName(QStringLiteral("5"), 0).size(), 1);
        QCOMPARE(s.items.searchByName(QStringLiteral("5"), -7).size(), 1);
    }

    void recentListPrunesAndSkipsFavourites()
    {
        EmptyStorage s;
        QString error;
        QList<qint64> iids;
        for (int i = 0; i < 21; ++i)
            iids << s.add(QStringLiteral("item %1").arg(i));
        for (qint64 iid : iids) {
            QVERIFY2(s.items.recordRecent(iid, &error), qPrintable(error));
            QTest::qWait(2); // distinct times
        }
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM recent_items")), 20);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM recent_items WHERE item_iid = %1")
                              .arg(iids.first())),
            0); // the oldest is gone
        QCOMPARE(s.items.recentItems(20).first().iid, iids.last());

        // Visiting again only moves the time forward.
        QVERIFY(s.items.recordRecent(iids.at(5), &error));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM recent_items")), 20);
        QCOMPARE(s.items.recentItems(20).first().iid, iids.at(5));
        QCOMPARE(s.items.recentItems(0).size(), 1);

        // Favourites are filtered after pruning: 3 of 20 rows are favourites -> 17.
        for (int i : {5, 10, 20})
            QVERIFY(s.service.setFavorite(iids.at(i), true, &error));
        const QList<DataItem> recent = s.items.recentItems(20);
        QCOMPARE(recent.size(), 17);
        for (const DataItem &item : recent)
            QVERIFY(!item.favorite);
        QCOMPARE(s.names(s.items.favorites()),
            QStringList({"item 20", "item 10", "item 5"})); // newest identity first

        // Ties of equal time keep the larger iid.
        s.sql(QStringLiteral("UPDATE recent_items SET accessed_at = 1"));
        s.sql(QStringLiteral("UPDATE data_items SET favorite = 0"));
        QCOMPARE(s.items.recentItems(3).first().iid, iids.last());
    }

    void renumberingKeepsOrderDense()
    {
        EmptyStorage s;
        s.sql(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                             "(9, 3, 0, 'a', 'a'), (4, 3, 2, 'b', 'b'), (3, 3, 2, 'c', 'c'), "
                             "(1, 3, 7, 'd', 'd'), (20, 0, 5, 'other', 'other')"));
        QString error;
        QVERIFY(s.items.normalizeSortIds(3, &error));
        QCOMPARE(s.level(3), QStringList({"9:1", "3:2", "4:3", "1:4"}));
        QCOMPARE(s.level(0), QStringList({"20:5"})); // other levels untouched

        QVERIFY(s.items.makeSortRoom(3, 2, &error));
        QCOMPARE(s.level(3), QStringList({"9:1", "3:3", "4:4", "1:5"}));
        QVERIFY(s.items.reorder(3, {1, 4, 3, 9}, &error));
        QCOMPARE(s.level(3), QStringList({"1:1", "4:2", "3:3", "9:4"}));
        QVERIFY(s.items.normalizeSortIds(99, &error)); // a level without children
    }

    void orphansAreWhatNoParentHolds()
    {
        EmptyStorage s;
        QVERIFY(s.items.orphans().isEmpty());
        s.sql(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                             "(1, 0, 1, 'top', 't'), (2, 1, 1, 'child', 'c'), "
                             "(5, 9, 2, 'lost b', 'x'), (6, 9, 1, 'lost a', 'x'), "
                             "(7, 7, 1, 'own parent', 'x'), (8, -3, 1, 'negative', 'x'), "
                             "(3, 4, 1, 'lost c', 'x')"));
        QCOMPARE(orphanIids(s), QList<qint64>({8, 3, 7, 6, 5})); // by pid, sortid, iid
        s.sql(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES "
                             "(9, 0, 2, 'found', 'f')"));
        QCOMPARE(orphanIids(s), QList<qint64>({8, 3, 7})); // 6 and 5 have their parent again

        // Every kind of write keeps the kept set equal to a comparison of every item.
        const QStringList writes = {
            "DELETE FROM data_items WHERE iid = 9", // 5 and 6 lose their parent again
            "UPDATE data_items SET pid = 1 WHERE iid = 7", // no longer its own parent
            "UPDATE data_items SET pid = 2 WHERE iid = 2", // now its own parent
            "UPDATE data_items SET iid = 4 WHERE iid = 1", // 3 finds a parent, 7 loses one
            "UPDATE data_items SET iid = 1, pid = 0 WHERE iid = 4",
            "UPDATE data_items SET sortid = 5, here = 'renamed'", // no identity changes
            "INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES (20, 21, 1, 'x', 'x'), "
            "(21, 20, 1, 'y', 'y')", // a cycle is not an orphan
            "DELETE FROM data_items WHERE iid = 21",
        };
        for (const QString &write : writes) {
            s.sql(write);
            QCOMPARE(orphanIids(s), scanned(s));
        }
        const QList<qint64> last = orphanIids(s);
        QCOMPARE(last, QList<qint64>({8, 2, 3, 5, 6, 20}));

        // A file that lost the table (an older layout) gets it back, filled, at opening.
        s.sql(QStringLiteral("DROP TABLE orphan_items"));
        QCOMPARE(orphanIids(s), last); // compared item by item meanwhile
        StorageFixture again(s.dir.path());
        QVERIFY2(again.open(), qPrintable(again.error));
        QCOMPARE(orphanIids(again), last);
    }

private:
    static QList<qint64> orphanIids(StorageFixture &s)
    {
        QList<qint64> iids;
        for (const DataItem &item : s.items.orphans())
            iids << item.iid;
        return iids;
    }

    static QList<qint64> scanned(StorageFixture &s)
    {
        QList<qint64> iids;
        QSqlQuery query = s.sql(QStringLiteral("SELECT iid FROM data_items WHERE pid <> 0 AND (pid "
                                               "= iid OR pid NOT IN (SELECT iid FROM data_items)) "
                                               "ORDER BY pid, sortid, iid"));
        while (query.next())
            iids << query.value(0).toLongLong();
        return iids;
    }
};

VELTO_TEST_MAIN_CORE(TestDataItemRepository)
#include "tst_dataitemrepository.moc"
