// Export, import and recovery-draft timings. Medians over several runs (one run from 500,000
// items on); the import's peak resident memory is measured from a reset high-water mark.
// Usage: bench_interchange [items] [--note BYTES] [--dir DIR] [--big] [--export-only]
//   items         items with one note each (default 100000)
//   --note BYTES  the note's length (default 1400: about 1.65 KB of export per item)
//   --dir DIR     where the database and the export file are made (default: a temporary folder)
//   --big         also imports an export of about 200 MB
//   --export-only stops after the exports

#include "Database.h"
#include "ExportDocument.h"
#include "ImportTransaction.h"
#include "RecoveryDraftStore.h"
#include "SearchIndexBuilder.h"
#include "SearchIndexObserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

// Median wall-clock and processor times in ms: on a shared machine the second shows the work
// itself.
struct Timing {
    double wall;
    double cpu;
};

Timing median(int runs, const std::function<void()> &work, const std::function<void()> &after = {})
{
    std::vector<double> walls;
    std::vector<double> cpus;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const std::clock_t start = std::clock();
        work();
        cpus.push_back(double(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC);
        walls.push_back(timer.nsecsElapsed() / 1e6);
        if (after)
            after();
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

// Resets the peak resident size of this process (Linux), so the next reading covers one step.
void resetPeak()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    if (file.open(QIODevice::WriteOnly))
        file.write("5");
}

double peakMiB()
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// n top-level items, each with one rich-text note of noteBytes.
void fill(Database &database, int n, int noteBytes)
{
    QSqlDatabase db = database.connection();
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM data_items"));
    db.transaction();
    QSqlQuery item(db);
    item.prepare(QStringLiteral(
        "INSERT INTO data_items(iid, pid, sortid, here, cont, remark) VALUES (?, ?, ?, ?, ?, '')"));
    QSqlQuery block(db);
    block.prepare(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                 "summary) VALUES (?, 1, 0, ?, '')"));
    const QString note
        = QStringLiteral("<p>") + QString(noteBytes, QLatin1Char('n')) + QStringLiteral("</p>");
    for (int i = 1; i <= n; ++i) {
        // A tree: every tenth item is a top-level item, the others its children.
        const int parent = (i - 1) % 10 == 0 ? 0 : i - (i - 1) % 10;
        item.bindValue(0, i);
        item.bindValue(1, parent);
        item.bindValue(2, (i - 1) % 10 + (parent == 0 ? i : 0));
        item.bindValue(3, QStringLiteral("条目 %1").arg(i));
        item.bindValue(4, QStringLiteral("内容 %1").arg(i));
        item.exec();
        block.bindValue(0, i);
        block.bindValue(1, note);
        block.exec();
    }
    db.commit();
}

void importOnce(Database &database, const QString &file, int expected)
{
    ImportTransaction import(&database);
    QString error;
    if (!import.load(file, &error) || !import.run(&error) || import.importedCount() != expected)
        std::printf("import failed: %s\n", qPrintable(error));
}

// Removes the imported items and their rows of the full-text index, as deleting them would.
void removeImported(Database &database, int n)
{
    QSqlQuery(database.connection())
        .exec(QStringLiteral("DELETE FROM data_items WHERE iid > %1").arg(n));
    QSqlQuery(database.connection())
        .exec(QStringLiteral("DELETE FROM search_index WHERE rowid > %1").arg(n));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SearchIndexObserver::install();
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool big = args.removeAll(QStringLiteral("--big")) > 0;
    const bool exportOnly = args.removeAll(QStringLiteral("--export-only")) > 0;
    const auto option = [&args](const QString &name, const QString &fallback) {
        const qsizetype at = args.indexOf(name);
        if (at < 0 || at + 1 >= args.size())
            return fallback;
        const QString value = args.at(at + 1);
        args.remove(at, 2);
        return value;
    };
    const int noteBytes = option(QStringLiteral("--note"), QStringLiteral("1400")).toInt();
    const QString base = option(QStringLiteral("--dir"), QString());
    const int n = args.isEmpty() ? 100000 : args.first().toInt();
    const int runs = n >= 500000 ? 1 : 3;
    QTemporaryDir dir(base.isEmpty()
            ? QDir::tempPath() + QStringLiteral("/bench-interchange-XXXXXX")
            : base + QStringLiteral("/bench-interchange-XXXXXX"));
    Database database(QStringLiteral("bench-interchange"));
    database.setRootOverride(dir.path());
    QString error;
    if (!database.open(&error)) {
        std::printf("cannot open: %s\n", qPrintable(error));
        return 1;
    }
    fill(database, n, noteBytes);
    const QString file = dir.filePath(QStringLiteral("export.velto.json"));

    resetPeak();
    const Timing exported = median(runs + 2, [&] { ExportDocument::write(&database, file); });
    std::printf("export %d items with one note each        %9.1f ms  (cpu %.1f ms, %.1f MB)\n", n,
        exported.wall, exported.cpu, QFile(file).size() / 1e6);
    std::printf("peak resident memory during the exports    %9.1f MiB\n", peakMiB());
    std::fflush(stdout);
    if (exportOnly) {
        database.close();
        return 0;
    }

    resetPeak();
    const Timing imported = median(
        runs, [&] { importOnce(database, file, n); }, [&] { removeImported(database, n); });
    std::printf("import it into a database that holds it   %9.1f ms  (cpu %.1f ms)\n",
        imported.wall, imported.cpu);
    std::printf("peak resident memory during the imports    %9.1f MiB\n", peakMiB());
    std::fflush(stdout);

    // A file this large leaves its items' rows of the full-text index to the background build:
    // what that build then takes (up to 200,000 items).
    if (n <= 200000) {
        ImportTransaction import(&database);
        QString text;
        import.load(file, &text);
        import.run(&text);
        if (import.leftIndexToBuild()) {
            QElapsedTimer timer;
            timer.start();
            SearchIndexBuilder::run(Database::databaseFilePath(database.rootPath),
                QStringLiteral("bench-interchange-build"), {}, nullptr, &text);
            std::printf("its index rows, built afterwards            %9.1f ms\n",
                timer.nsecsElapsed() / 1e6);
        }
        removeImported(database, n);
        std::fflush(stdout);
    }

    RecoveryDraftStore store(dir.path());
    RecoveryDraft draft;
    draft.itemId = 1;
    draft.name = QStringLiteral("条目");
    draft.blocks = {{0, 0, 0, ContentBlock::Text, QString(1 << 20, QLatin1Char('d')), QString()}};
    const Timing drafted = median(21, [&] { store.write(draft); });
    std::printf("recovery-draft write with a 1 MB note      %9.1f ms  (cpu %.1f ms)\n",
        drafted.wall, drafted.cpu);
    std::fflush(stdout);

    if (big) {
        const int bigItems = 20000;
        fill(database, bigItems, 10000);
        ExportDocument::write(&database, file);
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        importOnce(database, file, bigItems);
        std::printf("import of a %.0f MB export (%d items)     %9.1f ms, peak %.1f MiB\n",
            QFile(file).size() / 1e6, bigItems, timer.nsecsElapsed() / 1e6, peakMiB());
    }
    database.close();
    return 0;
}
