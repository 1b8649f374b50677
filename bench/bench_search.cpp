// Full-text search on a generated database: N items (default 100,000), each with a note of about
// 1 KB and one link. Measures the background build of the index (and how long the GUI thread's
// event loop and a save wait meanwhile), the database's growth, the integrity check, a search
// that finds 100 items, one- and two-character searches, and the extra cost of a save.
// Usage: bench_search [items]

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SqlSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QString rareWord = QStringLiteral("稀有词条Zq");

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QString noteText(QRandomGenerator &random, qint64 iid)
{
    static const QString hanzi = QStringLiteral("的一是在不了有和人这中大为上个国我以要他时来用们生"
                                                "到作地于出就分对成会可主发年动同工也能下过"
                                                "子说产种面而方后多定行学法所民得经十三之进着等部度"
                                                "家电力里如水化高自二理起小物现实加量都两体制"
                                                "机当使点从业本去把性好应开它合还因由其些然前外天政"
                                                "四日那社义事平形相全表间样与关各重新线内数正"
                                                "心反你明看原又么利比或但质气第向道命此变条只没结解"
                                                "问意建月公无系军很情者最立代想已通并提直题党"
                                                "程展五果料象员革位入常文总次品式活设及管特件长求老"
                                                "头基资边流路级少图山统接知较将组见计别她手角");
    static const char *const words[]
        = {"report", "budget", "meeting", "draft", "server", "invoice", "travel", "photo"};
    QString text;
    while (text.toUtf8().size() < 1000) {
        for (int i = 0; i < 12; ++i)
            text += hanzi.at(random.bounded(hanzi.size()));
        text += QLatin1Char(' ') + QLatin1String(words[random.bounded(8)]) + QLatin1Char(' ');
    }
    if (iid % 1000 == 0)
        text += rareWord;
    return QStringLiteral("<!DOCTYPE HTML><html><head><meta name=\"qrichtext\" content=\"1\" />"
                          "<style type=\"text/css\">p, li { white-space: pre-wrap; }</style></head>"
                          "<body style=\" font-size:9pt;\">\n<p style=\" margin:0px;\">")
        + text + QStringLiteral("</p></body></html>");
}

void generate(Database &database, qint64 count)
{
    QSqlDatabase db = database.connection();
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM data_items"));
    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(nullptr))
        std::fprintf(stderr, "begin failed\n");
    QSqlQuery item(db);
    item.prepare(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) "
                                "VALUES (?, ?, ?, ?, ?)"));
    QSqlQuery block(db);
    block.prepare(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                 "summary) VALUES (?, ?, ?, ?, ?)"));
    QRandomGenerator random(42);
    for (qint64 iid = 1; iid <= count; ++iid) {
        item.bindValue(0, iid);
        item.bindValue(1, iid <= 100 ? 0 : (iid % 10000) + 1);
        item.bindValue(2, iid);
        item.bindValue(3, QStringLiteral("项目 %1").arg(iid));
        item.bindValue(4, QStringLiteral("业务内容 %1").arg(iid));
        if (!item.exec())
            std::fprintf(stderr, "insert failed: %s\n", qPrintable(item.lastError().text()));
        const QList<QVariantList> blocks = {
            {0, noteText(random, iid), QStringLiteral("")},
            {2, QStringLiteral("https://site%1.example.com/page/%2").arg(iid % 997).arg(iid),
                QStringLiteral("页面摘要 %1").arg(iid)},
        };
        for (int i = 0; i < blocks.size(); ++i) {
            block.bindValue(0, iid);
            block.bindValue(1, i + 1);
            block.bindValue(2, blocks[i][0]);
            block.bindValue(3, blocks[i][1]);
            block.bindValue(4, blocks[i][2]);
            block.exec();
        }
    }
    QString error;
    if (!transaction.commit(&error) || !SearchIndex::reset(db, &error))
        std::fprintf(stderr, "generation failed: %s\n", qPrintable(error));
}

double fileMb(const QString &path)
{
    return QFileInfo(path).size() / 1048576.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 100000;
    QTemporaryDir dir;
    Database database(QStringLiteral("bench-search"));
    database.setRootOverride(dir.path());
    QString error;
    if (!database.open(&error)) {
        std::fprintf(stderr, "open failed: %s\n", qPrintable(error));
        return 1;
    }
    DataItemRepository items(&database);
    AttachmentRepository attachments(&database);
    ContentBlockRepository blocks(&database);
    DataItemService service(&items, &attachments, &blocks);
    SearchIndex index(&database);
    const QString file = Database::databaseFilePath(database.rootPath);

    QElapsedTimer timer;
    timer.start();
    generate(database, count);
    QSqlQuery(database.connection()).exec(QStringLiteral("VACUUM"));
    const double before = fileMb(file);
    std::printf("items: %lld, generated in %.1f s, database %.1f MB without the index\n",
        static_cast<long long>(count), timer.elapsed() / 1000.0, before);

    // The background build, with the GUI thread's event loop ticking every 5 ms, a name search
    // every 100 ms and a save every 500 ms.
    SearchIndexBuilder builder(file);
    double longestTick = 0;
    double longestSearch = 0;
    double longestSave = 0;
    int saves = 0;
    int failedSaves = 0;
    QElapsedTimer sinceTick;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestTick = std::max(longestTick, sinceTick.nsecsElapsed() / 1e6 - 5.0);
        sinceTick.start();
        static int tick = 0;
        ++tick;
        QElapsedTimer op;
        op.start();
        if (tick % 20 == 0) {
            items.searchByName(QStringLiteral("项目 77"), 100);
            longestSearch = std::max(longestSearch, op.nsecsElapsed() / 1e6);
        } else if (tick % 100 == 50) {
            DataItem item = items.get(1 + (tick * 7919) % count);
            item.remark = QStringLiteral("改过 %1").arg(tick);
            if (!service.save(item, nullptr))
                ++failedSaves;
            longestSave = std::max(longestSave, op.nsecsElapsed() / 1e6);
            ++saves;
        }
    });
    QObject::connect(&builder, &SearchIndexBuilder::finished, &app, [&](bool, const QString &text) {
        if (!text.isEmpty())
            std::printf("build error: %s\n", qPrintable(text));
        app.quit();
    });
    timer.restart();
    builder.start();
    sinceTick.start();
    ticker.start(5);
    app.exec();
    ticker.stop();
    const double buildSeconds = timer.elapsed() / 1000.0;
    const double after = fileMb(file);
    std::printf(
        "background build: %.1f s (complete: %s); meanwhile longest event-loop stall "
        "%.1f ms, longest name search %.1f ms, longest save %.1f ms (%d saves, %d failed)\n",
        buildSeconds, index.isComplete() ? "yes" : "no", longestTick, longestSearch, longestSave,
        saves, failedSaves);
    std::printf("database: %.1f MB → %.1f MB with the index (+%.1f MB, +%.0f%%)\n", before, after,
        after - before, 100.0 * (after - before) / before);

    timer.restart();
    const bool intact = SearchIndex::passesIntegrityCheck(database.connection());
    std::printf("FTS5 integrity check: %.2f s (%s)\n", timer.elapsed() / 1000.0,
        intact ? "passes" : "FAILS");

    const qsizetype found = index.search(rareWord, 1000).size();
    std::printf("search finding %lld items: %.2f ms median\n", static_cast<long long>(found),
        medianMs(21, [&] { index.search(rareWord, 100); }));
    std::printf("three-character search matching most notes (100 shown): %.2f ms median\n",
        medianMs(11, [&] { index.search(QStringLiteral("的一是"), 100); }));
    std::printf("one-character search, common (100 shown): %.2f ms median\n",
        medianMs(11, [&] { index.search(QStringLiteral("的"), 100); }));
    std::printf("one-character search, absent: %.2f ms median\n",
        medianMs(11, [&] { index.search(QStringLiteral("鑫"), 100); }));
    std::printf("two-character search, rare (%lld found): %.2f ms median\n",
        static_cast<long long>(index.search(QStringLiteral("Zq"), 1000).size()),
        medianMs(11, [&] { index.search(QStringLiteral("Zq"), 100); }));

    // Extra cost of a save: the index work one save of an item and its blocks adds (two rows
    // rewritten, as save and replaceContentBlocks each do), against the whole save.
    QSqlDatabase db = database.connection();
    qint64 next = 500;
    const double sync = medianMs(21, [&] {
        db.transaction();
        SearchIndex::syncItem(db, next, nullptr);
        SearchIndex::syncItem(db, next, nullptr);
        db.rollback();
        next = 1 + (next + 997) % count;
    });
    const double save = medianMs(21, [&] {
        DataItem item = items.get(next);
        item.remark = QStringLiteral("改");
        service.save(item, nullptr);
        service.replaceContentBlocks(next, service.contentBlocks(next), nullptr);
        next = 1 + (next + 997) % count;
    });
    std::printf("save of one item with its blocks: %.2f ms median, of which the index %.2f ms\n",
        save, sync);
    database.close();
    return 0;
}
