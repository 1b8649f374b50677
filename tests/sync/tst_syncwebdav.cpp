// Sync through a real WebDAV server (rclone on 127.0.0.1): both ways, a wrong password, server
// faults, kills in the middle of an upload and of an apply, and encryption.
#include "SearchIndexObserver.h"
#include "SyncDevices.h"
#include "SyncJournal.h"
#include "TestSupport.h"
#include "WebDavServer.h"
#include "WebDavTransport.h"

#include <QDirIterator>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace datasync;

namespace {

const QString user = QStringLiteral("velto");
const QString password = QStringLiteral("secret");

SyncReport syncWith(SyncDevice &device, const QUrl &url, const QString &passphrase = QString(),
    const QString &account = password, int snapshotEvery = 200)
{
    WebDavTransport transport(url, user, account);
    transport.setTimeout(20);
    SyncEngine engine(device.file(), &transport);
    engine.setPassphrase(passphrase);
    engine.setSnapshotEvery(snapshotEvery);
    return engine.run();
}

// Every file the server holds, read raw.
QByteArray serverBytes(const QString &folder)
{
    QByteArray all;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

// Runs `velto --sync` on device's root; stops it with kill -9 once it reports reaching phase.
void killSyncAt(SyncDevice &device, const QUrl &url, const QString &phase)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELTO_STORAGE_ROOT"), device.database.rootPath);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), device.dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("VELTO_SYNC_USER"), user);
    env.insert(QStringLiteral("VELTO_SYNC_PASSWORD"), password);
    env.insert(QStringLiteral("VELTO_SYNC_PASSPHRASE"), QString());
    env.insert(QStringLiteral("VELTO_SYNC_TEST_BATCH"), QStringLiteral("1"));
    env.insert(QStringLiteral("VELTO_SYNC_PAUSE_AT"), phase);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(VELTO_EXECUTABLE),
        {QStringLiteral("--sync"), QStringLiteral("--sync-url"), url.toString()});
    QByteArray log;
    const QByteArray marker = "VELTO-SYNC-PAUSED " + phase.toUtf8();
    for (int waited = 0; waited < 1200 && !log.contains(marker); ++waited) {
        if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
            break;
        log += process.readAllStandardError();
    }
    QVERIFY2(log.contains(marker),
        qPrintable(QStringLiteral("never paused at ") + phase + QStringLiteral(": ")
            + QString::fromUtf8(log)));
    ::kill(pid_t(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished(30000));
}

} // namespace

class TestSyncWebDav : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SearchIndexObserver::install();
        SyncJournal::install();
    }

    void syncsBothWaysAndRefusesAWrongPassword()
    {
        WebDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        SyncDevice a(QStringLiteral("a"));
        for (int i = 0; i < 50; ++i)
            a.add(QStringLiteral("条目%1").arg(i), 1, QStringLiteral("<p>笔记 %1</p>").arg(i));
        SyncReport report = syncWith(a, server.url());
        QVERIFY2(report.ok, qPrintable(report.error));
        SyncDevice b(QStringLiteral("b"));
        report = syncWith(b, server.url());
        QVERIFY2(report.ok, qPrintable(report.error));
        QCOMPARE(b.tree(), a.tree());
        // One file per batch of changes, not one per item.
        int files = 0;
        QDirIterator it(server.folder(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++files;
        }
        QVERIFY2(files <= 5, qPrintable(QString::number(files)));
        report = syncWith(b, server.url(), QString(), QStringLiteral("wrong"));
        QVERIFY(!report.ok);
        QVERIFY2(report.error.contains(QStringLiteral("账号或密码")), qPrintable(report.error));
    }

    void serverFaultsLeaveBothSidesConsistent()
    {
        WebDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        FaultProxy proxy(server.url());
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        QVERIFY(syncWith(a, proxy.url()).ok);
        QVERIFY(syncWith(b, proxy.url()).ok);
        const FaultProxy::Fault kinds[]
            = {FaultProxy::Fault::Drop, FaultProxy::Fault::Status500, FaultProxy::Fault::Status507};
        int failures = 0;
        for (int n = 1; n <= 14; ++n) {
            const FaultProxy::Fault kind = kinds[n % 3];
            a.add(QStringLiteral("A%1").arg(n), 1);
            b.add(QStringLiteral("B%1").arg(n), b.find(QStringLiteral("东西放哪了")));
            proxy.setRule([n, kind](const QByteArray &, const QByteArray &, int count) {
                return count == n ? kind : FaultProxy::Fault::None;
            });
            failures += syncWith(n % 2 ? a : b, proxy.url()).ok ? 0 : 1;
            proxy.setRule({});
        }
        QVERIFY(failures > 0);
        for (int round = 0; round < 2; ++round) {
            for (SyncDevice *device : {&a, &b}) {
                const SyncReport report = syncWith(*device, proxy.url());
                QVERIFY2(report.ok, qPrintable(report.error));
            }
        }
        QCOMPARE(a.tree(), b.tree());
        const QString tree = a.tree().join(QLatin1Char('\n'));
        for (int n = 1; n <= 14; ++n) {
            QVERIFY(tree.contains(QStringLiteral("A%1|").arg(n)));
            QVERIFY(tree.contains(QStringLiteral("B%1|").arg(n)));
        }
    }

    void killedMidUploadAndMidApplyTheNextSyncFinishes()
    {
        WebDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        SyncDevice a(QStringLiteral("a"));
        SyncDevice b(QStringLiteral("b"));
        b.clear();
        for (int i = 0; i < 6; ++i)
            a.add(QStringLiteral("上传%1").arg(i), 1);
        killSyncAt(a, server.url(), QStringLiteral("upload"));
        SyncReport report = syncWith(a, server.url());
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(syncWith(b, server.url()).ok);
        QCOMPARE(b.tree(), a.tree());

        for (int i = 0; i < 6; ++i)
            b.add(QStringLiteral("应用%1").arg(i), b.find(QStringLiteral("东西放哪了")));
        QVERIFY(b.rename(b.find(QStringLiteral("上传3")), QStringLiteral("上传3改")));
        QVERIFY(syncWith(b, server.url()).ok);
        killSyncAt(a, server.url(), QStringLiteral("apply"));
        report = syncWith(a, server.url());
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY(syncWith(b, server.url()).ok);
        QCOMPARE(a.tree(), b.tree());
        QVERIFY(a.find(QStringLiteral("应用5")) != 0);
        QVERIFY(a.find(QStringLiteral("上传3改")) != 0);
    }

    void encryptedLibraryNeedsTheRightPassphrase()
    {
        WebDavServer server;
        QVERIFY2(server.isReady(), qPrintable(server.error()));
        SyncDevice a(QStringLiteral("a"));
        a.add(QStringLiteral("保密条目"), 1, QStringLiteral("<p>绝密笔记内容</p>"));
        const QString passphrase = QStringLiteral("正确的口令 42");
        SyncReport report = syncWith(a, server.url(), passphrase);
        QVERIFY2(report.ok, qPrintable(report.error));
        report = syncWith(a, server.url(), passphrase, password, 1);
        QVERIFY2(report.ok && report.wroteSnapshot, qPrintable(report.error));
        // Nothing readable reaches the server (segments and snapshots are compressed too, so
        // look at the format file, the snapshot's manifest and at the sealing marks).
        const QByteArray raw = serverBytes(server.folder());
        QVERIFY(!raw.contains(QStringLiteral("绝密笔记内容").toUtf8()));
        QVERIFY(!raw.contains("VELTO-SEGMENT-1"));
        QVERIFY(!raw.contains("VELTO-SNAPSHOT-1"));
        QVERIFY(!raw.contains("velto-snapshot-1"));
        QVERIFY(raw.contains("VELTO-SEALED-1"));

        SyncDevice b(QStringLiteral("b"));
        report = syncWith(b, server.url(), QStringLiteral("错误的口令"));
        QVERIFY(!report.ok);
        QVERIFY2(report.error.contains(QStringLiteral("加密口令不对")), qPrintable(report.error));
        report = syncWith(b, server.url());
        QVERIFY(!report.ok);
        QVERIFY2(report.error.contains(QStringLiteral("已加密")), qPrintable(report.error));
        QCOMPARE(b.tree().size(), 8); // untouched
        report = syncWith(b, server.url(), passphrase);
        QVERIFY2(report.ok && report.fromSnapshot, qPrintable(report.error));
        QCOMPARE(b.tree(), a.tree());
    }
};

VELTO_TEST_MAIN_CORE(TestSyncWebDav)
#include "tst_syncwebdav.moc"
