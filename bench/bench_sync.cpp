// Sync on a big database through a local WebDAV server (rclone on 127.0.0.1):
//   bench_sync [items] [apache]   (release build, 100,000 items with ~1 KB notes by default;
//                                 apache: Apache mod_dav instead, which gives folders ETags)
// Times the first sync up from a full device and down to an empty one, then a sync with one
// changed item on each side, then one with nothing new (with the requests it made), and the longest
// stall of a GUI-like thread that ticks every 5 ms and saves an item every 100 ms through its own
// connection while the first sync runs. Prints the process's peak memory at the end.
#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "CountingTransport.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "SearchIndexObserver.h"
#include "SyncEngine.h"
#include "SyncJournal.h"
#include "WebDavServer.h"
#include "WebDavTransport.h"
#include "WritePriority.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <memory>

using namespace datasync;

namespace {

const QString user = QStringLiteral("velto");
const QString password = QStringLiteral("secret");

void fill(Database &database, int count)
{
    QSqlDatabase db = database.connection();
    QSqlQuery(db).exec(QStringLiteral("BEGIN"));
    QSqlQuery item(db);
    item.prepare(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) "
                                "VALUES (?, ?, ?, ?, ?)"));
    QSqlQuery block(db);
    block.prepare(QStringLiteral(
        "INSERT INTO content_blocks(item_iid, sortid, type, value) VALUES (?, 1, 0, ?)"));
    const QString note
        = QStringLiteral("<p>") + QString(300, QChar(0x8bb0)) + QStringLiteral("</p>");
    for (int i = 0; i < count; ++i) {
        const qint64 iid = 100 + i;
        // A hundred top-level folders of a thousand items each.
        const qint64 pid = i < 100 ? 0 : 100 + (i % 100);
        item.addBindValue(iid);
        item.addBindValue(pid);
        item.addBindValue(i + 1);
        item.addBindValue(QStringLiteral("条目 %1").arg(i));
        item.addBindValue(QStringLiteral("内容 %1").arg(i));
        item.exec();
        block.addBindValue(iid);
        block.addBindValue(QString(note + QString::number(i)));
        block.exec();
    }
    QSqlQuery(db).exec(QStringLiteral("COMMIT"));
}

SyncReport syncOnce(const QString &file, const QUrl &url)
{
    WebDavTransport transport(url, user, password);
    SyncEngine engine(file, &transport);
    return engine.run();
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SearchIndexObserver::install();
    SyncJournal::install();
    const int count = argc > 1 ? QString::fromLatin1(argv[1]).toInt() : 100000;
    const bool apache = argc > 2 && QLatin1String(argv[2]) == QLatin1String("apache");
    std::unique_ptr<WebDavServer> rclone;
    std::unique_ptr<ApacheDavServer> httpd;
    QUrl url;
    QString serverError;
    if (apache) {
        httpd = std::make_unique<ApacheDavServer>();
        url = httpd->url();
        serverError = httpd->error();
    } else {
        rclone = std::make_unique<WebDavServer>(user, password);
        url = rclone->url();
        serverError = rclone->error();
    }
    if (!serverError.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(serverError));
        return 1;
    }
    QTemporaryDir rootA;
    QTemporaryDir rootB;
    Database a(QStringLiteral("bench-a"));
    a.setRootOverride(rootA.path());
    Database b(QStringLiteral("bench-b"));
    b.setRootOverride(rootB.path());
    QString error;
    if (!a.open(&error) || !b.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QSqlQuery(b.connection()).exec(QStringLiteral("DELETE FROM data_items"));
    fill(a, count);
    // The journal marks what it finds when it starts; here the items were written behind it.
    QSqlQuery(a.connection()).exec(QStringLiteral("DROP TABLE sync_dirty"));
    SyncJournal::prepare(a.connection(), nullptr);
    std::printf("items: %d\n", count);

    // First sync up, on a thread, while this thread plays the GUI: ticks and saves.
    const QString fileA = Database::databaseFilePath(a.rootPath);
    SyncReport report;
    QElapsedTimer timer;
    timer.start();
    QThread *worker = QThread::create([&] { report = syncOnce(fileA, url); });
    DataItemRepository items(&a);
    AttachmentRepository attachments(&a);
    ContentBlockRepository blocks(&a);
    DataItemService service(&items, &attachments, &blocks);
    qint64 longestTick = 0;
    qint64 longestSave = 0;
    qint64 longestLockWait = 0;
    QElapsedTimer sinceTick;
    QElapsedTimer sinceSave;
    QTimer tick;
    int saves = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestTick = qMax(longestTick, sinceTick.elapsed());
        if (sinceSave.elapsed() >= 100) {
            DataItem item = items.get(100 + (saves++ % 100));
            item.remark = QStringLiteral("保存 %1").arg(saves);
            QElapsedTimer save;
            save.start();
            const qint64 waitsBefore = foregroundLockWaits();
            service.save(item, nullptr);
            longestSave = qMax(longestSave, save.elapsed());
            longestLockWait = qMax(longestLockWait,
                (foregroundLockWaits() - waitsBefore) * foregroundPollMilliseconds);
            sinceSave.restart();
        }
        sinceTick.restart();
    });
    QEventLoop loop;
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    sinceTick.start();
    sinceSave.start();
    tick.start(5);
    worker->start();
    loop.exec();
    tick.stop();
    delete worker;
    std::printf("first sync up: %.1f s (%s, sent %lld)\n", seconds(timer),
        report.ok ? "ok" : qPrintable(report.error), report.sent);
    std::printf("  while it ran: longest tick gap %lld ms, longest save %lld ms (of it waiting for "
                "the lock: %lld ms), %d saves; sync held the write lock %lld ms at most\n",
        longestTick, longestSave, longestLockWait, saves, report.longestWriteMs);

    timer.restart();
    report = syncOnce(Database::databaseFilePath(b.rootPath), url);
    std::printf("first sync down to an empty device: %.1f s (%s, received %lld, write lock held "
                "%lld ms at most)\n",
        seconds(timer), report.ok ? "ok" : qPrintable(report.error), report.received,
        report.longestWriteMs);
    // The saves made during the first sync go up now.
    syncOnce(fileA, url);
    syncOnce(Database::databaseFilePath(b.rootPath), url);

    DataItem changed = items.get(150);
    changed.cont = QStringLiteral("一处改动");
    service.save(changed, nullptr);
    timer.restart();
    report = syncOnce(fileA, url);
    std::printf("one changed item, sending: %.2f s (%s)\n", seconds(timer),
        report.ok ? "ok" : qPrintable(report.error));
    timer.restart();
    report = syncOnce(Database::databaseFilePath(b.rootPath), url);
    std::printf("one changed item, receiving: %.2f s (%s, received %lld)\n", seconds(timer),
        report.ok ? "ok" : qPrintable(report.error), report.received);

    // What a sync of b asks of the server.
    const QString fileB = Database::databaseFilePath(b.rootPath);
    const auto countedSync = [&](const char *label) {
        WebDavTransport transport(url, user, password);
        CountingTransport counting(&transport);
        SyncEngine engine(fileB, &counting);
        timer.restart();
        report = engine.run();
        std::printf("%s: %.2f s (%s, received %lld), %d requests: %lld listings, %lld reads, "
                    "%lld folders made, %lld writes\n",
            label, seconds(timer), report.ok ? "ok" : qPrintable(report.error), report.received,
            counting.requests(), qint64(counting.listed.size()), qint64(counting.got.size()),
            qint64(counting.made.size()), qint64(counting.put.size()));
    };
    // rclone gives folders no ETags: every device folder is listed every time. Apache's are relied
    // on once the server was seen to change a folder's ETag with its files, and a folder's ETag
    // only once it has stood a few seconds (it is weak within a second of a change anyway): there
    // the syncs are that far apart, and a sends one more change first.
    if (apache) {
        QThread::msleep(3500);
        countedSync("b after a pause");
        changed.cont = QStringLiteral("又一处改动");
        service.save(changed, nullptr);
        syncOnce(fileA, url);
        QThread::msleep(3500);
        countedSync("b receiving a's change");
        QThread::msleep(3500);
        countedSync("b with nothing new, a's new folder ETag seen once before");
    }
    for (int round = 0; round < 2; ++round)
        countedSync("b with nothing new");

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory of the process: %ld MB\n", usage.ru_maxrss / 1024);
    a.close();
    b.close();
    return 0;
}
