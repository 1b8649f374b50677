// Start-up, saves and top-level clicks on big databases while the housekeeping runs: the check of
// every page, the daily backup and the full-text index build.
//
//   bench_housekeeping generate N DIR   a balanced tree of N items (ten children a node, a
//                                       ~200-character note each, index built) under DIR
//   bench_housekeeping startup DIR      window shown and usable; with and without the check due
//   bench_housekeeping saves DIR [K]    saves every 100 ms while check, backup and build run;
//                                       K saves with nothing running before and after (20)
//   bench_housekeeping toplevel DIR     clicks and saves at the top level, the orphans query
//   bench_housekeeping all DIR          the three above
//   bench_housekeeping                  all three on 100k items generated for the run
//
// Release build, QT_QPA_PLATFORM=offscreen. DIR is kept between runs (a 1M-item database takes
// long to generate); "saves" edits random items and leaves the index complete again.

#include "BenchTiming.h"
#include "DatabaseBackup.h"
#include "DatabaseCheck.h"
#include "DatabaseGuard.h"
#include "ItemTable.h"
#include "MainWindowTestSupport.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SqlSupport.h"
#include "SyncTimingVfs.h"
#include "TestSupport.h"
#include "WritePriority.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

using namespace velto::test;

namespace {

using bench::measure;
using bench::median;

void paintWindow(MainWindow *window)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    window->repaint();
}

QString noteText(QRandomGenerator &random)
{
    static const QStringList words = QString::fromUtf8(
        "项目 计划 会议 记录 资料 文件 合同 客户 发票 报告 总结 进度 目标 预算 联系 电话 地址 "
        "钥匙 证件 设备 密码 备份 网站 链接 说明 今天 明天 本周 下周 完成 开始 检查 更新 整理 "
        "归档 采购 付款 回复 提醒 注意 重要 紧急 普通 家庭 工作 学习 健康 旅行 读书 plan note "
        "review draft budget invoice meeting")
                                         .split(QLatin1Char(' '));
    QString text;
    while (text.size() < 200) {
        text += words.at(int(random.bounded(words.size())));
        text += random.bounded(6) == 0 ? QStringLiteral("，") : QString();
    }
    return QStringLiteral("<p>") + text + QStringLiteral("</p>");
}

bool exec(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "%s: %s\n", sql, message ? message : "?");
    sqlite3_free(message);
    return false;
}

int generate(qint64 n, const QString &dir)
{
    QElapsedTimer timer;
    timer.start();
    Database database(QStringLiteral("generate"));
    database.setRootOverride(dir);
    QString error;
    if (!database.open(&error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    sqlite3 *db = sqlsupport::sqliteHandle(database.connection());
    if (!exec(db, "DELETE FROM data_items") || !exec(db, "DELETE FROM content_blocks")
        || !exec(db, "BEGIN"))
        return 1;

    sqlite3_stmt *item = nullptr;
    sqlite3_stmt *block = nullptr;
    sqlite3_prepare_v2(db,
        "INSERT INTO data_items(iid, pid, sortid, here, cont, remark, favorite, \"desc\") "
        "VALUES (?, ?, ?, ?, ?, '', 0, '')",
        -1, &item, nullptr);
    sqlite3_prepare_v2(db,
        "INSERT INTO content_blocks(item_iid, sortid, type, value, summary) VALUES (?, 1, 0, ?, "
        "'')",
        -1, &block, nullptr);
    QRandomGenerator random(19);
    for (qint64 k = 1; k <= n; ++k) {
        const QByteArray here = QStringLiteral("项目 %1").arg(k).toUtf8();
        const QByteArray cont = QStringLiteral("内容 %1").arg(k).toUtf8();
        const QByteArray note = noteText(random).toUtf8();
        sqlite3_bind_int64(item, 1, k);
        sqlite3_bind_int64(item, 2, (k - 1) / 10);
        sqlite3_bind_int64(item, 3, (k - 1) % 10 + 1);
        sqlite3_bind_text(item, 4, here.constData(), int(here.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(item, 5, cont.constData(), int(cont.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(block, 1, k);
        sqlite3_bind_text(block, 2, note.constData(), int(note.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(item) != SQLITE_DONE || sqlite3_step(block) != SQLITE_DONE) {
            std::fprintf(stderr, "insert %lld: %s\n", k, sqlite3_errmsg(db));
            return 1;
        }
        sqlite3_reset(item);
        sqlite3_reset(block);
        if (k % 100000 == 0) {
            exec(db, "COMMIT");
            exec(db, "BEGIN");
            std::printf("  %lld items, %.0f s\n", k, timer.elapsed() / 1000.0);
            std::fflush(stdout);
        }
    }
    sqlite3_finalize(item);
    sqlite3_finalize(block);
    if (!exec(db, "COMMIT") || !SearchIndex::reset(database.connection(), &error))
        return 1;
    std::printf("items written in %.0f s; building the index\n", timer.elapsed() / 1000.0);
    std::fflush(stdout);
    const auto outcome = SearchIndexBuilder::run(
        Database::databaseFilePath(database.rootPath), QStringLiteral("generate-index"),
        [&](qint64 done, qint64 total) {
            if (done % 100000 < 256)
                std::printf(
                    "  indexed %lld of %lld, %.0f s\n", done, total, timer.elapsed() / 1000.0);
            std::fflush(stdout);
        },
        nullptr, &error);
    database.close();
    std::printf("generated %lld items in %.0f s (index: %s), file %.0f MB\n", n,
        timer.elapsed() / 1000.0,
        outcome == SearchIndexBuilder::Outcome::Built ? "built" : qPrintable(error),
        QFileInfo(Database::databaseFilePath(dir)).size() / 1e6);
    return 0;
}

qint64 itemCount(const QString &dir)
{
    sqlite3 *db = nullptr;
    qint64 count = 0;
    if (sqlite3_open_v2(QFile::encodeName(Database::databaseFilePath(dir)).constData(), &db,
            SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT MAX(iid) FROM data_items", -1, &statement, nullptr)
                == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

void startup(const QString &dir)
{
    const QString file = Database::databaseFilePath(dir);
    const QString label = QStringLiteral("%1 items").arg(itemCount(dir));
    qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(dir));
    std::unique_ptr<MainWindow> window;
    for (const bool due : {false, true}) {
        QList<double> checks;
        measure(
            qPrintable(QStringLiteral("start-up to a shown, painted window, %1%2")
                           .arg(label, due ? QStringLiteral(", check due") : QString())),
            5,
            [&] {
                window.reset();
                QCoreApplication::processEvents();
                if (due)
                    QFile::remove(CheckSchedule(file).checkedPath());
            },
            [&] {
                window = std::make_unique<MainWindow>();
                window->show();
                paintWindow(window.get());
            });
        if (due) {
            // The last run's check, on its own thread, while the window is already up.
            QElapsedTimer timer;
            timer.start();
            QSignalSpy sound(window->databaseGuard(), &DatabaseGuard::sound);
            if (window->databaseGuard()->state() == DatabaseGuard::State::Checking)
                sound.wait(600000);
            std::printf("  then the background check of every page ended %.0f ms later\n",
                timer.nsecsElapsed() / 1e6);
        }
        measure(
            qPrintable(QStringLiteral("first click in the table after start-up, %1").arg(label)), 5,
            [&] {
                window.reset();
                QCoreApplication::processEvents();
                window = std::make_unique<MainWindow>();
                window->show();
                paintWindow(window.get());
            },
            [&] {
                window->selectRow(1);
                paintWindow(window.get());
            });
    }
    window.reset();
    {
        Database database(QStringLiteral("floor"));
        database.setRootOverride(dir);
        QString error;
        database.open(&error);
        measure("what every start paid before: PRAGMA quick_check", 3, nullptr, [&] {
            QSqlQuery query(database.connection());
            query.exec(QStringLiteral("PRAGMA quick_check"));
            query.next();
        });
        database.close();
    }
    qunsetenv("VELTO_STORAGE_ROOT");
}

struct Waits {
    QList<double> times;
    QList<double> lockWaits; // of which waiting for another connection's lock
    QList<double> diskSyncs; // of which waiting for the disk to sync the log
    int failures = 0;
    QString firstError;
    void print(const char *what) const
    {
        if (times.isEmpty()) {
            std::printf("%-58s no saves\n", what);
            return;
        }
        const double longest = *std::max_element(times.cbegin(), times.cend());
        const auto over
            = std::count_if(times.cbegin(), times.cend(), [](double t) { return t > 50; });
        QList<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        const double p95 = sorted.at(qMin(sorted.size() - 1, sorted.size() * 95 / 100));
        std::printf(
            "%-58s %d saves: median %.1f ms, p95 %.1f ms, longest %.1f ms, %d over 50 ms, %d "
            "failed%s\n",
            what, int(times.size()), median(times), p95, longest, int(over), failures,
            firstError.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + firstError + ')'));
        std::printf("%-58s   waiting for a lock: median %.1f ms, longest %.1f ms\n", "",
            median(lockWaits), *std::max_element(lockWaits.cbegin(), lockWaits.cend()));
        std::printf("%-58s   waiting for the disk's sync: median %.1f ms, longest %.1f ms\n", "",
            median(diskSyncs), *std::max_element(diskSyncs.cbegin(), diskSyncs.cend()));
        QList<double> rest;
        for (qsizetype i = 0; i < times.size(); ++i)
            rest.append(times.at(i) - diskSyncs.at(i));
        std::printf("%-58s   all but the disk's sync: median %.1f ms, longest %.1f ms, %d over 50 "
                    "ms\n",
            "", median(rest), *std::max_element(rest.cbegin(), rest.cend()),
            int(std::count_if(rest.cbegin(), rest.cend(), [](double t) { return t > 50; })));
    }
    void add(const Waits &other)
    {
        times += other.times;
        lockWaits += other.lockWaits;
        diskSyncs += other.diskSyncs;
        failures += other.failures;
        if (firstError.isEmpty())
            firstError = other.firstError;
    }
};

// idleSaves: how many saves make each of the two runs with nothing else running (20 by default;
// as many as run during the backup make their tails comparable).
void saves(const QString &dir, int idleSaves)
{
    bench::installSyncTiming();
    const QString file = Database::databaseFilePath(dir);
    const qint64 n = itemCount(dir);
    std::printf("saves on %lld items (save + replaceContentBlocks every 100 ms)\n", n);
    QFile::remove(CheckSchedule(file).checkedPath());
    Database database(QStringLiteral("velto-main"));
    database.setRootOverride(dir);
    database.setCheckInBackground(true);
    QString error;
    if (!database.open(&error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return;
    }
    DataItemRepository items(&database);
    AttachmentRepository attachments(&database);
    ContentBlockRepository blocks(&database);
    DataItemService service(&items, &attachments, &blocks);
    QRandomGenerator random(7);

    // The last 20,000 items lose their index rows, so that the build has real work to do.
    const qint64 frontier = qMax<qint64>(0, n - 20000);
    {
        QSqlQuery query(database.connection());
        query.exec(QStringLiteral("DELETE FROM search_index WHERE rowid > %1").arg(frontier));
        SearchIndex::markComplete(database.connection(), false, nullptr);
        SearchIndex::setBuildFrontier(database.connection(), frontier, nullptr);
    }

    const auto saveOne = [&](Waits &waits) {
        DataItem item = items.get(1 + qint64(random.bounded(quint32(qMin<qint64>(n, 1000000)))));
        item.remark = QString::number(random.generate());
        ContentBlock note;
        note.value = noteText(random);
        QElapsedTimer timer;
        timer.start();
        const qint64 lockWaitsBefore = foregroundLockWaits();
        const double syncBefore = bench::syncMillisecondsOfThisThread();
        QString failure;
        const bool ok = service.save(item, &failure)
            && service.replaceContentBlocks(item.iid, {note}, &failure);
        waits.times.append(timer.nsecsElapsed() / 1e6);
        waits.lockWaits.append(
            double(foregroundLockWaits() - lockWaitsBefore) * foregroundPollMilliseconds);
        waits.diskSyncs.append(bench::syncMillisecondsOfThisThread() - syncBefore);
        if (!ok && waits.failures++ == 0)
            waits.firstError = failure;
    };
    const auto pause = [](int ms) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        }
    };

    Waits idle;
    for (int i = 0; i < idleSaves; ++i) {
        saveOne(idle);
        pause(100);
    }
    idle.print("saves with nothing else running");

    DatabaseGuard guard(&database);
    guard.start();
    SearchIndexBuilder builder(file);
    builder.start();
    const QString copy = QDir(dir).filePath(QStringLiteral("bench-backup.db"));
    std::atomic_bool backupRunning {true};
    std::unique_ptr<QThread> backup(QThread::create([&] {
        QString backupError;
        if (!DatabaseBackup::writeCopy(file, copy, &backupError))
            std::fprintf(stderr, "backup: %s\n", qPrintable(backupError));
        backupRunning = false;
    }));
    backup->start(QThread::LowPriority);

    Waits duringCheck, duringBackup, duringBuild, all;
    QElapsedTimer clock;
    clock.start();
    while (guard.isChecking() || backupRunning || builder.isRunning()) {
        Waits one;
        const bool checking = guard.isChecking();
        const bool backingUp = backupRunning;
        const bool building = builder.isRunning();
        saveOne(one);
        for (Waits *waits : {checking ? &duringCheck : nullptr, backingUp ? &duringBackup : nullptr,
                 building ? &duringBuild : nullptr, &all}) {
            if (waits)
                waits->add(one);
        }
        pause(100);
    }
    std::printf("check, backup and build ended after %.1f s\n", clock.elapsed() / 1000.0);
    duringCheck.print("saves while the check of every page ran");
    duringBackup.print("saves while the backup ran");
    duringBuild.print("saves while the index build ran (20k items)");
    all.print("all saves while any of them ran");
    backup->wait();
    QFile::remove(copy);

    // The backup once more, alone: what a save pays for it and for nothing else.
    Waits idleAgain, backupAlone;
    for (int i = 0; i < idleSaves; ++i) {
        saveOne(idleAgain);
        pause(100);
    }
    idleAgain.print("saves with nothing else running, again");
    backupRunning = true;
    clock.restart();
    backup.reset(QThread::create([&] {
        QString backupError;
        if (!DatabaseBackup::writeCopy(file, copy, &backupError))
            std::fprintf(stderr, "backup: %s\n", qPrintable(backupError));
        backupRunning = false;
    }));
    backup->start(QThread::LowPriority);
    while (backupRunning) {
        saveOne(backupAlone);
        pause(100);
    }
    backup->wait();
    std::printf("the backup alone ended after %.1f s\n", clock.elapsed() / 1000.0);
    backupAlone.print("saves while the backup alone ran");
    QFile::remove(copy);
    guard.finish();
    database.close();
}

void topLevel(const QString &dir)
{
    const QString label = QStringLiteral("%1 items").arg(itemCount(dir));
    qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(dir));
    auto window = std::make_unique<MainWindow>();
    window->show();
    paintWindow(window.get());
    QSignalSpy sound(window->databaseGuard(), &DatabaseGuard::sound);
    if (window->databaseGuard()->state() == DatabaseGuard::State::Checking)
        sound.wait(600000);
    window->navigation()->setCollapsed(false);
    paintWindow(window.get());
    int row = 0;
    measure(
        qPrintable(QStringLiteral("click on a top-level row, sidebar open, %1").arg(label)), 15,
        [&] { row = (row + 1) % 10; },
        [&] {
            window->selectRow(row);
            paintWindow(window.get());
        });
    measure(
        qPrintable(QStringLiteral("save at the top level, sidebar open, %1").arg(label)), 15,
        [&] {
            window->selectRow(2);
            window->table()->nameEditor(2)->setText(
                QStringLiteral("项目 ") + QString::number(rand()));
            window->rowTextChanged(2);
        },
        [&] {
            window->saveCurrent();
            paintWindow(window.get());
        });
    {
        DataItem item = window->levelItems().at(2);
        const QList<ContentBlock> blocks = window->service().contentBlocks(item.iid);
        measure("  of which storage (save + replaceContentBlocks)", 15, nullptr, [&] {
            item.remark = QString::number(rand());
            window->service().save(item, nullptr);
            window->service().replaceContentBlocks(item.iid, blocks, nullptr);
        });
        measure(
            "  of which the same without its two syncs (synchronous = OFF)", 15,
            [&] {
                QSqlQuery(WindowFixture::db()).exec(QStringLiteral("PRAGMA synchronous = OFF"));
            },
            [&] {
                item.remark = QString::number(rand());
                window->service().save(item, nullptr);
                window->service().replaceContentBlocks(item.iid, blocks, nullptr);
            });
        QSqlQuery(WindowFixture::db()).exec(QStringLiteral("PRAGMA synchronous = FULL"));
    }
    measure(qPrintable(QStringLiteral("DataItemRepository::orphans(), %1").arg(label)), 15, nullptr,
        [&] { window->repository().orphans(); });
    measure(qPrintable(QStringLiteral("the comparison of every item it replaces, %1").arg(label)),
        5, nullptr, [&] {
            QSqlQuery query(WindowFixture::db());
            query.setForwardOnly(true);
            query.exec(QStringLiteral("SELECT iid FROM data_items WHERE pid <> 0 AND (pid = iid OR "
                                      "pid NOT IN (SELECT iid FROM data_items))"));
            while (query.next()) { }
        });
    window.reset();
    qunsetenv("VELTO_STORAGE_ROOT");
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    prepareApplication();
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("generate") && args.size() == 4)
        return generate(args.at(2).toLongLong(), args.at(3));
    QTemporaryDir scratch;
    QString dir;
    if (args.size() == 1) {
        // scripts/bench: everything on 100k items generated for this run.
        dir = scratch.path();
        if (generate(100000, dir) != 0)
            return 1;
    } else if (args.size() == 3 || (args.size() == 4 && mode == QLatin1String("saves"))) {
        dir = QDir(args.at(2)).absolutePath();
    } else {
        std::fprintf(stderr,
            "usage: bench_housekeeping [generate N DIR | startup DIR | saves DIR [IDLE_SAVES] | "
            "toplevel DIR "
            "| all DIR]\n");
        return 2;
    }
    if (!QFile::exists(Database::databaseFilePath(dir))) {
        std::fprintf(stderr, "no database under %s: run generate first\n", qPrintable(dir));
        return 2;
    }
    const bool all = args.size() == 1 || mode == QLatin1String("all");
    if (all || mode == QLatin1String("startup"))
        startup(dir);
    if (all || mode == QLatin1String("toplevel"))
        topLevel(dir);
    if (all || mode == QLatin1String("saves"))
        saves(dir, args.size() == 4 ? qMax(1, args.at(3).toInt()) : 20);
    return 0;
}
