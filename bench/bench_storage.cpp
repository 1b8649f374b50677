// Storage timings on generated trees, each next to the same statements run through the raw sqlite3
// C API in the same process (the floor). Usage: bench_storage [sizes...]  (default 1000 10000
// 100000)

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr qint64 wideParent = 1; // the parent that gets 1,000 children

// Median times of `work` and of `floor`, run in alternation so that both see the same machine load.
struct Pair {
    double velto;
    double raw;
};

Pair medianPair(int runs, const std::function<void()> &prepare, const std::function<void()> &work,
    const std::function<void()> &floor)
{
    std::vector<double> a;
    std::vector<double> b;
    for (int i = 0; i < runs; ++i) {
        for (int side = 0; side < 2; ++side) {
            if (prepare)
                prepare();
            QElapsedTimer timer;
            timer.start();
            ((i + side) % 2 == 0 ? work : floor)();
            ((i + side) % 2 == 0 ? a : b).push_back(timer.nsecsElapsed() / 1e6);
        }
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

// One side of a comparison, run later by report().
struct Side {
    int runs;
    std::function<void()> prepare;
    std::function<void()> work;
};

Side side(int runs, std::function<void()> prepare, std::function<void()> work)
{
    return {runs, std::move(prepare), std::move(work)};
}

void report(const char *name, int size, const Side &ours, const Side &floor)
{
    const Pair pair = medianPair(ours.runs, ours.prepare, ours.work, floor.work);
    const double velto = pair.velto;
    const double raw = pair.raw;
    std::printf("%-28s %7d items  %10.3f ms  raw %10.3f ms  ratio %5.2f\n", name, size, velto, raw,
        raw > 0 ? velto / raw : 0.0);
    std::fflush(stdout);
}

// Raw sqlite3 helpers: prepare, bind, step to the end, finalize, as a fresh query would.
struct Raw {
    sqlite3 *db = nullptr;
    explicit Raw(const QString &file)
    {
        sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Raw() { sqlite3_close(db); }

    // Steps every row, touching each column as the repository does.
    int query(const char *sql, const std::function<void(sqlite3_stmt *)> &bind = {})
    {
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        if (bind)
            bind(statement);
        int rows = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            ++rows;
            const int columns = sqlite3_column_count(statement);
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_TEXT) {
                    const auto *text = sqlite3_column_text(statement, c);
                    volatile auto keep = QString::fromUtf8(
                        reinterpret_cast<const char *>(text), sqlite3_column_bytes(statement, c));
                    (void)keep;
                } else {
                    volatile auto keep = sqlite3_column_int64(statement, c);
                    (void)keep;
                }
            }
        }
        sqlite3_finalize(statement);
        return rows;
    }
    void exec(const char *sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

    // The same rows turned into the same records the repository returns.
    QList<DataItem> items(const char *sql, const std::function<void(sqlite3_stmt *)> &bind = {})
    {
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        if (bind)
            bind(statement);
        QList<DataItem> list;
        const auto text = [statement](int column) {
            return QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                sqlite3_column_bytes(statement, column));
        };
        while (sqlite3_step(statement) == SQLITE_ROW) {
            DataItem item;
            item.iid = item.id = sqlite3_column_int64(statement, 0);
            item.pid = sqlite3_column_int64(statement, 1);
            item.sortid = sqlite3_column_int64(statement, 2);
            item.here = text(3);
            item.cont = text(4);
            item.remark = text(5);
            item.favorite = sqlite3_column_int64(statement, 6) != 0;
            item.desc = text(7);
            list.append(std::move(item));
        }
        sqlite3_finalize(statement);
        return list;
    }
};

#define COLUMNS "iid, pid, sortid, here, cont, remark, favorite, \"desc\""

// About ten children per node, plus one parent with 1,000 children.
void generate(const QString &file, int size)
{
    Raw raw(file);
    raw.exec("DELETE FROM data_items");
    raw.exec("BEGIN");
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(raw.db,
        "INSERT INTO data_items(iid, pid, sortid, here, cont) VALUES (?, ?, ?, ?, ?)", -1, &insert,
        nullptr);
    QList<qint64> childCount(size + 1, 0);
    for (qint64 iid = 1; iid <= size; ++iid) {
        qint64 pid = 0;
        if (iid == 1)
            pid = 0;
        else if (iid <= 1001)
            pid = wideParent;
        else
            pid = (iid - 1002) / 10 + 2; // tens under the wide parent's children and onwards
        if (pid > size || pid >= iid)
            pid = 0;
        const qint64 sortid = ++childCount[pid];
        const QByteArray here = QStringLiteral("项目 %1").arg(iid).toUtf8();
        const QByteArray cont = QStringLiteral("内容 %1 记录目标、进度和下一步").arg(iid).toUtf8();
        sqlite3_bind_int64(insert, 1, iid);
        sqlite3_bind_int64(insert, 2, pid);
        sqlite3_bind_int64(insert, 3, sortid);
        sqlite3_bind_text(insert, 4, here.constData(), here.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, cont.constData(), cont.size(), SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    raw.exec("COMMIT");
}

void benchTree(int size)
{
    QTemporaryDir dir;
    Database database(QStringLiteral("bench"));
    database.setRootOverride(dir.path());
    QString error;
    if (!database.open(&error)) {
        std::printf("open failed: %s\n", qPrintable(error));
        return;
    }
    const QString file = Database::databaseFilePath(dir.path());
    generate(file, size);
    DataItemRepository items(&database);
    AttachmentRepository attachments(&database);
    ContentBlockRepository blocks(&database);
    DataItemService service(&items, &attachments, &blocks);
    Raw raw(file);
    const int runs = size >= 100000 ? 5 : 21;

    report("byParent (1,000 children)", size, side(runs, {}, [&] { items.byParent(wideParent); }),
        side(runs, {}, [&] {
            raw.items("SELECT " COLUMNS " FROM data_items WHERE pid = ? ORDER BY sortid, iid",
                [](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, wideParent); });
        }));
    report("allItems", size, side(runs, {}, [&] { items.allItems(); }), side(runs, {}, [&] {
        raw.items("SELECT " COLUMNS " FROM data_items ORDER BY pid, sortid, iid");
    }));
    const QString needle = QStringLiteral("项目 12");
    const QByteArray pattern = DataItemRepository::searchPattern(needle).toUtf8();
    report("searchByName", size, side(runs, {}, [&] { items.searchByName(needle, 100); }),
        side(runs, {}, [&] {
            raw.items("SELECT " COLUMNS " FROM data_items WHERE here LIKE ? ESCAPE '\\' ORDER BY "
                      "iid DESC LIMIT ?",
                [&](sqlite3_stmt *s) {
                    sqlite3_bind_text(s, 1, pattern.constData(), pattern.size(), SQLITE_STATIC);
                    sqlite3_bind_int(s, 2, 100);
                });
        }));
    const qint64 middle = size / 2;
    report("get", size, side(runs * 5, {}, [&] { items.get(middle); }), side(runs * 5, {}, [&] {
        raw.items("SELECT " COLUMNS " FROM data_items WHERE iid = ?",
            [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, middle); });
    }));
    report("hasChildren", size, side(runs * 5, {}, [&] { items.hasChildren(middle); }),
        side(runs * 5, {}, [&] {
            raw.query("SELECT EXISTS(SELECT 1 FROM data_items WHERE pid = ?)",
                [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, middle); });
        }));

    // Writes: each run is undone outside the timing.
    qint64 created = 0;
    const auto removeCreated = [&] {
        if (created)
            items.remove(created, nullptr);
        created = 0;
    };
    DataItem fresh;
    fresh.pid = wideParent;
    fresh.here = QStringLiteral("新项目");
    fresh.cont = QStringLiteral("新内容");
    report("create (end of 1,000)", size,
        side(runs, removeCreated, [&] { created = service.create(fresh, nullptr); }),
        side(runs, removeCreated, [&] {
            raw.query("SELECT COALESCE(MAX(sortid), 0) + 1 FROM data_items WHERE pid = ?",
                [](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, wideParent); });
            raw.query("SELECT COALESCE(MAX(iid), 0) + 1 FROM data_items");
            raw.query("INSERT INTO data_items(" COLUMNS ") VALUES (?, ?, 1001, ?, ?, '', 0, '')",
                [&](sqlite3_stmt *s) {
                    sqlite3_bind_int64(s, 1, size + 1);
                    sqlite3_bind_int64(s, 2, wideParent);
                    sqlite3_bind_text(s, 3, "x", 1, SQLITE_STATIC);
                    sqlite3_bind_text(s, 4, "y", 1, SQLITE_STATIC);
                });
            created = size + 1;
            raw.query("SELECT iid, sortid FROM data_items WHERE pid = ? ORDER BY sortid, iid",
                [](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, wideParent); });
        }));
    removeCreated();

    // Renumbering after the level was shuffled.
    const auto shuffle
        = [&] { raw.exec("UPDATE data_items SET sortid = abs(random() % 1000) WHERE pid = 1"); };
    report("normalizeSortIds (1,000)", size,
        side(runs, shuffle, [&] { items.normalizeSortIds(wideParent, nullptr); }),
        side(runs, shuffle, [&] {
            std::vector<qint64> order;
            sqlite3_stmt *select = nullptr;
            sqlite3_prepare_v2(raw.db,
                "SELECT iid, sortid FROM data_items WHERE pid = ? ORDER BY "
                "sortid, iid",
                -1, &select, nullptr);
            sqlite3_bind_int64(select, 1, wideParent);
            while (sqlite3_step(select) == SQLITE_ROW)
                order.push_back(sqlite3_column_int64(select, 0));
            sqlite3_finalize(select);
            raw.exec("BEGIN");
            sqlite3_stmt *update = nullptr;
            sqlite3_prepare_v2(
                raw.db, "UPDATE data_items SET sortid = ? WHERE iid = ?", -1, &update, nullptr);
            for (size_t i = 0; i < order.size(); ++i) {
                sqlite3_bind_int64(update, 1, static_cast<qint64>(i + 1));
                sqlite3_bind_int64(update, 2, order[i]);
                sqlite3_step(update);
                sqlite3_reset(update);
            }
            sqlite3_finalize(update);
            raw.exec("COMMIT");
        }));

    report("recordRecent", size, side(runs, {}, [&] { items.recordRecent(middle, nullptr); }),
        side(runs, {}, [&] {
            raw.exec("BEGIN");
            raw.query("INSERT INTO recent_items(item_iid, accessed_at) VALUES (?, ?) ON "
                      "CONFLICT(item_iid) DO UPDATE SET accessed_at = excluded.accessed_at",
                [&](sqlite3_stmt *s) {
                    sqlite3_bind_int64(s, 1, middle);
                    sqlite3_bind_int64(s, 2, QDateTime::currentMSecsSinceEpoch());
                });
            raw.query("DELETE FROM recent_items WHERE item_iid NOT IN (SELECT item_iid FROM "
                      "recent_items ORDER BY accessed_at DESC, item_iid DESC LIMIT 20)");
            raw.exec("COMMIT");
        }));

    if (size >= 100000) {
        database.close();
        report("Database::open", size,
            side(5, {},
                [&] {
                    Database again(QStringLiteral("bench-open"));
                    again.setRootOverride(dir.path());
                    again.open(nullptr);
                    again.close();
                }),
            side(5, {}, [&] {
                Raw reopened(file);
                reopened.query("PRAGMA quick_check");
                for (const char *sql :
                    {"DROP TABLE IF EXISTS records", "DROP TABLE IF EXISTS nodes",
                        "DROP TABLE IF EXISTS schema_version", "PRAGMA foreign_keys = ON"})
                    reopened.exec(sql);
                reopened.query("PRAGMA table_info(data_items)");
                reopened.query(
                    "SELECT value FROM app_state WHERE key = 'workspace_layout_reset_v1'");
                reopened.query(
                    "SELECT value FROM app_state WHERE key = 'initial_scenarios_seeded'");
            }));
        std::printf(
            "  (the raw floor of open leaves out the nine CREATE ... IF NOT EXISTS no-ops)\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QList<int> sizes;
    for (const QString &argument : QCoreApplication::arguments().mid(1))
        sizes << argument.toInt();
    if (sizes.isEmpty())
        sizes = {1000, 10000, 100000};
    for (int size : sizes)
        benchTree(qMax(size, 1100));
    return 0;
}
