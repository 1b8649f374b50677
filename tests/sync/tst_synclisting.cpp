// What a sync lists on the server: a folder whose ETag shows it unchanged is not listed again, on
// a real Apache mod_dav server; servers without folder ETags (rclone) or with ETags that never
// change still give every new segment. Requests are counted by a decorator around the real
// WebDAV transport.
#include "CountingTransport.h"
#include "SearchIndexObserver.h"
#include "SyncDevices.h"
#include "SyncJournal.h"
#include "TestSupport.h"
#include "WebDavServer.h"
#include "WebDavTransport.h"

#include <QDeadlineTimer>
#include <QTest>

using namespace datasync;

namespace {

struct Syncer {
    Syncer(const QUrl &url, const QString &user = QString(), const QString &password = QString())
        : transport(url, user, password)
        , counted(&transport)
    {
        transport.setTimeout(20);
    }

    // One sync of device, counting its requests; every folder ETag is trusted once seen twice.
    SyncReport run(SyncDevice &device, int snapshotEvery = 200)
    {
        counted.reset();
        return device.sync(&counted, [snapshotEvery](SyncEngine &engine) {
            engine.setFolderSettleMs(0);
            engine.setSnapshotEvery(snapshotEvery);
        });
    }

    QStringList deviceFoldersListed() const
    {
        return counted.listed.filter(QStringLiteral("velto/devices/"));
    }

    WebDavTransport transport;
    CountingTransport counted;
};

// Waits until Apache gives every folder of the library a strong ETag: it marks one weak within
// the second after the folder changed, and such an ETag is never relied on.
bool waitForStrongFolderEtags(SyncTransport *transport, QString *weak)
{
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        weak->clear();
        for (const QString &folder : {QStringLiteral("velto"), QStringLiteral("velto/devices")}) {
            QList<RemoteEntry> entries;
            QString error;
            transport->list(folder, &entries, &error);
            for (const RemoteEntry &entry : qAsConst(entries)) {
                if (entry.folder && !FolderTags::usable(entry.etag))
                    *weak += folder + QLatin1Char('/') + entry.name + QLatin1Char(' ') + entry.etag;
            }
        }
        if (weak->isEmpty())
            return true;
        QTest::qWait(100);
    }
    return false;
}

QString stateOf(SyncDevice &device, const QString &key)
{
    QSqlQuery query(device.database.connection());
    query.prepare(QStringLiteral("SELECT value FROM app_state WHERE key = ?"));
    query.addBindValue(key);
    return query.exec() && query.next() ? query.value(0).toString() : QString();
}

} // namespace

class TestSyncListing : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SearchIndexObserver::install();
        SyncJournal::install();
    }

    void unchangedFoldersAreNotListedAgain()
    {
        ApacheDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        Syncer syncer(server.url());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        a.add(QStringLiteral("甲的条目"), 1);
        QString weak;
        SyncReport report = syncer.run(a);
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(syncer.run(b).ok);
        QCOMPARE(b.tree(), a.tree());
        QVERIFY2(waitForStrongFolderEtags(&syncer.transport, &weak), qPrintable(weak));
        QVERIFY(syncer.run(a).ok);

        // A new segment of b changes b's folder: a lists it and reads the segment.
        b.add(QStringLiteral("乙的新条目"), b.find(QStringLiteral("甲的条目")));
        QVERIFY(syncer.run(b).ok);
        QVERIFY2(waitForStrongFolderEtags(&syncer.transport, &weak), qPrintable(weak));
        report = syncer.run(a);
        QVERIFY2(report.ok && report.received > 0 && report.sent == 0, qPrintable(report.error));
        QVERIFY(a.find(QStringLiteral("乙的新条目")) != 0);
        QCOMPARE(syncer.deviceFoldersListed().size(), 2);
        QCOMPARE(syncer.counted.got.filter(QStringLiteral(".seg")).size(), 1);

        // Nothing new: a's own folder, unchanged since it was read under the same ETag, is
        // skipped; b's new ETag has stood once more and is read a second time.
        QVERIFY(syncer.run(a).ok);
        QCOMPARE(syncer.deviceFoldersListed().size(), 1);
        for (int round = 0; round < 2; ++round) {
            report = syncer.run(a);
            QVERIFY2(report.ok && report.received == 0, qPrintable(report.error));
            QCOMPARE(syncer.counted.listed,
                QStringList({QStringLiteral("velto"), QStringLiteral("velto/devices")}));
            QCOMPARE(syncer.counted.got, QStringList {QStringLiteral("velto/format.json")});
            QCOMPARE(syncer.counted.requests(), 3);
        }

        // A snapshot is a new folder under snapshots/: found by listing, then remembered with
        // its manifest, so a sync neither lists it nor writes the same state again.
        report = syncer.run(a, 1);
        QVERIFY2(report.ok && report.wroteSnapshot, qPrintable(report.error));
        QVERIFY2(waitForStrongFolderEtags(&syncer.transport, &weak), qPrintable(weak));
        for (int round = 0; round < 2; ++round)
            QVERIFY(syncer.run(a, 1).ok);
        QVERIFY(syncer.counted.listed.contains(QStringLiteral("velto/snapshots")));
        report = syncer.run(a, 1);
        QVERIFY2(report.ok && !report.wroteSnapshot, qPrintable(report.error));
        QCOMPARE(syncer.counted.listed,
            QStringList({QStringLiteral("velto"), QStringLiteral("velto/devices")}));
        QCOMPARE(syncer.counted.requests(), 3);
        // A computer joining later still starts from it.
        SyncDevice c(QStringLiteral("c"));
        c.clear();
        report = syncer.run(c);
        QVERIFY2(report.ok && report.fromSnapshot, qPrintable(report.error));
        QCOMPARE(c.tree(), a.tree());
        QCOMPARE(stateOf(a, QStringLiteral("sync_folder_etags")), QStringLiteral("follows"));
    }

    void serversWithoutUsableFolderEtagsListEveryFolder()
    {
        // rclone gives folders no ETag at all.
        {
            WebDavServer server;
            QVERIFY2(server.isReady(), qPrintable(server.error()));
            Syncer syncer(server.url(), QStringLiteral("velto"), QStringLiteral("secret"));
            SyncDevice a(QStringLiteral("a"));
            SyncDevice b(QStringLiteral("b"));
            b.clear();
            QVERIFY(syncer.run(a).ok);
            QVERIFY(syncer.run(b).ok);
            for (int round = 0; round < 3; ++round) {
                b.add(QStringLiteral("新条目%1").arg(round), b.find(QStringLiteral("东西放哪了")));
                QVERIFY(syncer.run(b).ok);
                const SyncReport report = syncer.run(a);
                QVERIFY2(report.ok, qPrintable(report.error));
                QVERIFY(a.find(QStringLiteral("新条目%1").arg(round)) != 0);
                QCOMPARE(syncer.deviceFoldersListed().size(), 2);
            }
        }
        // A server whose folder ETags never change (here Apache's, replaced by one that stays):
        // the new files under an unchanged ETag tell sync to list every folder from then on.
        ApacheDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        Syncer syncer(server.url());
        syncer.counted.rewrite = [](const QString &, RemoteEntry &entry) {
            if (entry.folder)
                entry.etag = QStringLiteral("\"same\"");
        };
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        QVERIFY(syncer.run(a).ok);
        QVERIFY(syncer.run(b).ok);
        for (int round = 0; round < 4; ++round) {
            b.add(QStringLiteral("新条目%1").arg(round), b.find(QStringLiteral("东西放哪了")));
            QVERIFY(syncer.run(b).ok);
            const SyncReport report = syncer.run(a);
            QVERIFY2(report.ok, qPrintable(report.error));
            QVERIFY2(a.find(QStringLiteral("新条目%1").arg(round)) != 0,
                qPrintable(QStringLiteral("round %1 missed b's new segment").arg(round)));
        }
        QCOMPARE(stateOf(a, QStringLiteral("sync_folder_etags")), QStringLiteral("stuck"));
        QCOMPARE(syncer.run(a).ok, true);
        QCOMPARE(syncer.deviceFoldersListed().size(), 2);
    }
};

VELTO_TEST_MAIN_CORE(TestSyncListing)
#include "tst_synclisting.moc"
