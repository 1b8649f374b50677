#include "SqlSupport.h"
#include "StorageFixture.h"
#include "TestSupport.h"

class TestSqlSupport : public QObject {
    Q_OBJECT

private slots:
    // A transaction inside another is a savepoint: its rollback undoes only its own work, its
    // commit leaves everything to the outer one, and the connection is free again afterwards.
    void nestedTransactionsAreSavepoints()
    {
        StorageFixture s;
        QVERIFY(s.open());
        s.sql(QStringLiteral("CREATE TABLE t(x INTEGER NOT NULL)"));
        QString error;
        {
            sqlsupport::Transaction outer(s.database.connection());
            QVERIFY(outer.begin(&error));
            s.sql(QStringLiteral("INSERT INTO t VALUES (1)"));
            {
                sqlsupport::Transaction inner(s.database.connection());
                QVERIFY(inner.begin(&error));
                s.sql(QStringLiteral("INSERT INTO t VALUES (2)"));
                QSqlQuery bad(s.database.connection());
                QVERIFY(!bad.exec(QStringLiteral("INSERT INTO t VALUES (NULL)")));
                QVERIFY(!inner.abort(bad, &error));
                QVERIFY(error.contains(QStringLiteral("NOT NULL")));
            }
            {
                sqlsupport::Transaction inner(s.database.connection());
                QVERIFY(inner.begin(&error));
                s.sql(QStringLiteral("INSERT INTO t VALUES (3)"));
                QVERIFY(inner.commit(&error));
            }
            QVERIFY(outer.commit(&error));
        }
        QCOMPARE(s.scalar(QStringLiteral("SELECT sum(x) * 10 + count(*) FROM t")), 42); // 1 and 3

        // An outer transaction that ends without commit takes its committed inner work along.
        {
            sqlsupport::Transaction outer(s.database.connection());
            QVERIFY(outer.begin(&error));
            sqlsupport::Transaction inner(s.database.connection());
            QVERIFY(inner.begin(&error));
            s.sql(QStringLiteral("INSERT INTO t VALUES (5)"));
            QVERIFY(inner.commit(&error));
        }
        QCOMPARE(s.scalar(QStringLiteral("SELECT count(*) FROM t")), 2);
        sqlsupport::Transaction again(s.database.connection());
        QVERIFY(again.begin(&error)); // the connection is free again
        QVERIFY(again.commit(&error));
    }

    // Only the commits inside its scope skip the wait for the disk: the connection's own setting
    // comes back after it, and nothing changes inside a transaction or outside WAL.
    void lazySyncIsScopedToWalCommits()
    {
        StorageFixture s;
        QVERIFY(s.open());
        const auto level = [&] { return s.scalar(QStringLiteral("PRAGMA synchronous")); };
        s.sql(QStringLiteral("PRAGMA synchronous = FULL"));
        {
            const sqlsupport::LazySync lazy(s.database.connection());
            QCOMPARE(level(), 1);
        }
        QCOMPARE(level(), 2);
        s.sql(QStringLiteral("PRAGMA synchronous = EXTRA"));
        {
            const sqlsupport::LazySync lazy(s.database.connection());
            QCOMPARE(level(), 1);
        }
        QCOMPARE(level(), 3);
        s.sql(QStringLiteral("PRAGMA synchronous = OFF"));
        {
            const sqlsupport::LazySync lazy(s.database.connection());
            QCOMPARE(level(), 0);
        }
        QCOMPARE(level(), 0);

        s.sql(QStringLiteral("PRAGMA synchronous = FULL"));
        QString error;
        {
            sqlsupport::Transaction open(s.database.connection());
            QVERIFY(open.begin(&error));
            const sqlsupport::LazySync lazy(s.database.connection());
            QCOMPARE(level(), 2);
            QVERIFY(open.commit(&error));
        }
        QCOMPARE(level(), 2);

        s.sql(QStringLiteral("PRAGMA journal_mode = DELETE"));
        {
            const sqlsupport::LazySync lazy(s.database.connection());
            QCOMPARE(level(), 2);
        }
    }
};

VELTO_TEST_MAIN_CORE(TestSqlSupport)
#include "tst_sqlsupport.moc"
