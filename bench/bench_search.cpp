// Full-text search on a generated database: N items (default 100,000), each with a note of about
// 1 KB and one link. Measures the background build of the index (and how long the GUI thread's
// event loop and a save wait meanwhile), the database's growth, the integrity check, a search
// that finds 100 items, one- and two-character searches, and the extra cost of a save.
// Notes are natural-looking text (words of a fixed vocabulary with Zipf frequencies, mostly
// Chinese), or with --random uniformly random characters (every trigram new: the worst case).
// --floor also times FTS5 alone on the same texts (raw SQLite, no code of ours) for comparison.
// --keep DIR keeps the database in DIR; a later run with the same DIR and count measures the
// searches on it again without generating and building (for tuning the searches).
// Usage: bench_search [items] [--random] [--floor] [--keep DIR]

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SearchIndexObserver.h"
#include "SqlSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QString rareWord = QStringLiteral("稀有词条Zq");
// A character no generated note holds.
const QChar absentHanzi(u'鑫');

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

const QString commonHanzi = QStringLiteral(
    "的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能下过"
    "子说产种面而方后多定行学法所民得经十三之进着等部度家电力里如水化高自二理起小物现实加量都两体制"
    "机当使点从业本去把性好应开它合还因由其些然前外天政四日那社义事平形相全表间样与关各重新线内数正"
    "心反你明看原又么利比或但质气第向道命此变条只没结解问意建月公无系军很情者最立代想已通并提直题党"
    "程展五果料象员革位入常文总次品式活设及管特件长求老头基资边流路级少图山统接知较将组见计别她手"
    "角");

// Picks ranks 0..n-1 with Zipf frequencies (rank r has weight 1/(r+1)).
class Zipf {
public:
    explicit Zipf(int n)
    {
        double sum = 0;
        for (int r = 0; r < n; ++r)
            m_cumulative.push_back(sum += 1.0 / (r + 1));
    }
    int pick(QRandomGenerator &random) const
    {
        const double x = random.generateDouble() * m_cumulative.back();
        return int(
            std::lower_bound(m_cumulative.begin(), m_cumulative.end(), x) - m_cumulative.begin());
    }

private:
    std::vector<double> m_cumulative;
};

// Text like people's notes: words of a fixed vocabulary (20,000 words, nine in ten Chinese of one
// to four characters drawn from 3,000 characters, the rest English) at Zipf frequencies, with
// Chinese punctuation.
class NaturalText {
public:
    NaturalText()
    {
        m_words.reserve(20000);
        QRandomGenerator random(7);
        QString alphabet = commonHanzi;
        while (alphabet.size() < 3000) {
            const QChar c(char16_t(0x4E00 + random.bounded(0x9FA5 - 0x4E00)));
            if (c != absentHanzi)
                alphabet += c;
        }
        const Zipf characters(alphabet.size());
        static const char *const syllables[]
            = {"re", "port", "ma", "con", "ter", "pro", "ject", "di", "ser", "ver", "ing", "tion",
                "al", "de", "sign", "data", "net", "work", "plan", "ex", "in", "ment", "to", "be"};
        for (int w = 0; w < 20000; ++w) {
            QString word;
            if (random.bounded(10) == 0) {
                const int parts = 1 + random.bounded(3);
                for (int i = 0; i < parts; ++i)
                    word += QLatin1String(syllables[random.bounded(24)]);
                word = QLatin1Char(' ') + word + QLatin1Char(' ');
            } else {
                static const int lengths[] = {1, 2, 2, 2, 3, 4};
                for (int i = lengths[random.bounded(6)]; i > 0; --i)
                    word += alphabet.at(characters.pick(random));
            }
            m_words.append(word);
        }
    }
    QString note(QRandomGenerator &random) const
    {
        QString text;
        qsizetype bytes = 0;
        while (bytes < 1000) {
            const QString &word = m_words.at(m_rank.pick(random));
            text += word;
            bytes += word.size() * (word.at(0).unicode() < 128 ? 1 : 3);
            const int p = random.bounded(100);
            if (p < 8) {
                text += p < 6 ? QStringLiteral("，") : QStringLiteral("。");
                bytes += 3;
            }
        }
        return text;
    }

private:
    QStringList m_words;
    Zipf m_rank {20000};
};

QString randomText(QRandomGenerator &random)
{
    static const char *const words[]
        = {"report", "budget", "meeting", "draft", "server", "invoice", "travel", "photo"};
    QString text;
    while (text.toUtf8().size() < 1000) {
        for (int i = 0; i < 12; ++i)
            text += commonHanzi.at(random.bounded(commonHanzi.size()));
        text += QLatin1Char(' ') + QLatin1String(words[random.bounded(8)]) + QLatin1Char(' ');
    }
    return text;
}

QString noteText(QRandomGenerator &random, qint64 iid, bool uniform)
{
    static const NaturalText natural;
    QString text = uniform ? randomText(random) : natural.note(random);
    if (iid % 1000 == 0)
        text += rareWord;
    return QStringLiteral("<!DOCTYPE HTML><html><head><meta name=\"qrichtext\" content=\"1\" />"
                          "<style type=\"text/css\">p, li { white-space: pre-wrap; }</style></head>"
                          "<body style=\" font-size:9pt;\">\n<p style=\" margin:0px;\">")
        + text + QStringLiteral("</p></body></html>");
}

void generate(Database &database, qint64 count, bool uniform)
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
            {0, noteText(random, iid, uniform), QStringLiteral("")},
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

// FTS5 alone: the texts our build stored, inserted into a fresh table of the same kind in a file
// of its own through raw SQLite, 1,000 rows a transaction, FTS5's default merging.
double floorSeconds(QSqlDatabase db, const QString &path)
{
    std::vector<QByteArray> texts;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("SELECT c0 FROM search_index_content ORDER BY id"));
    while (query.next())
        texts.push_back(query.value(0).toString().toUtf8());
    query.finish();
    sqlite3 *raw = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &raw) != SQLITE_OK)
        return -1;
    sqlite3_exec(raw,
        "CREATE VIRTUAL TABLE s USING fts5(body, tokenize = 'trigram', detail = 'none', "
        "columnsize = 0)",
        nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(raw, "INSERT INTO s(rowid, body) VALUES (?, ?)", -1, &insert, nullptr);
    QElapsedTimer timer;
    timer.start();
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i % 1000 == 0)
            sqlite3_exec(raw, i ? "COMMIT; BEGIN" : "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_bind_int64(insert, 1, qint64(i) + 1);
        sqlite3_bind_text(insert, 2, texts[i].constData(), int(texts[i].size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    const double seconds = timer.elapsed() / 1000.0;
    sqlite3_finalize(insert);
    sqlite3_close(raw);
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SearchIndexObserver::install();
    const QStringList args = app.arguments().mid(1);
    qint64 count = 100000;
    for (const QString &arg : args) {
        if (arg.toLongLong() > 0)
            count = arg.toLongLong();
    }
    const bool uniform = args.contains(QStringLiteral("--random"));
    QTemporaryDir temporary;
    const qsizetype keepAt = args.indexOf(QStringLiteral("--keep"));
    const QDir dir(keepAt >= 0 ? args.value(keepAt + 1) : temporary.path());
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
    double buildSeconds = 0;
    const bool reuse = keepAt >= 0 && index.isComplete()
        && items.searchByName(QStringLiteral("项目 %1").arg(count), 1).size() == 1
        && items.searchByName(QStringLiteral("项目 %1").arg(count + 1), 1).isEmpty();
    if (reuse) {
        std::printf("items: %lld, reusing the database in %s\n", static_cast<long long>(count),
            qPrintable(dir.path()));
    } else {
        generate(database, count, uniform);
        QSqlQuery(database.connection()).exec(QStringLiteral("VACUUM"));
        const double before = fileMb(file);
        std::printf("notes: %s\n", uniform ? "uniformly random characters" : "natural (Zipf) text");
        std::printf("items: %lld, generated in %.1f s, database %.1f MB without the index\n",
            static_cast<long long>(count), timer.elapsed() / 1000.0, before);

        // The background build, with the GUI thread's event loop ticking every 5 ms, a name search
        // every 100 ms and a save every 500 ms.
        SearchIndexBuilder builder(file);
        double longestTick = 0;
        double longestSearch = 0;
        double longestSave = 0;
        std::vector<double> searchTimes;
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
                searchTimes.push_back(op.nsecsElapsed() / 1e6);
            } else if (tick % 100 == 50) {
                DataItem item = items.get(1 + (tick * 7919) % count);
                item.remark = QStringLiteral("改过 %1").arg(tick);
                if (!service.save(item, nullptr))
                    ++failedSaves;
                longestSave = std::max(longestSave, op.nsecsElapsed() / 1e6);
                ++saves;
            }
        });
        QObject::connect(
            &builder, &SearchIndexBuilder::finished, &app, [&](bool, const QString &text) {
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
        buildSeconds = timer.elapsed() / 1000.0;
        const double after = fileMb(file);
        std::printf(
            "background build: %.1f s (complete: %s); meanwhile longest event-loop stall "
            "%.1f ms, longest name search %.1f ms, longest save %.1f ms (%d saves, %d failed)\n",
            buildSeconds, index.isComplete() ? "yes" : "no", longestTick, longestSearch,
            longestSave, saves, failedSaves);
        std::sort(searchTimes.begin(), searchTimes.end());
        if (!searchTimes.empty())
            std::printf("name searches during the build: median %.1f ms, 95th percentile %.1f ms\n",
                searchTimes[searchTimes.size() / 2], searchTimes[searchTimes.size() * 95 / 100]);
        std::printf("database: %.1f MB → %.1f MB with the index (+%.1f MB, +%.0f%%)\n", before,
            after, after - before, 100.0 * (after - before) / before);

        timer.restart();
        const bool intact = SearchIndex::passesIntegrityCheck(database.connection());
        std::printf("FTS5 integrity check: %.2f s (%s)\n", timer.elapsed() / 1000.0,
            intact ? "passes" : "FAILS");
    }

    std::printf("name search while idle: %.2f ms median\n",
        medianMs(11, [&] { items.searchByName(QStringLiteral("项目 77"), 100); }));
    const qsizetype found = index.search(rareWord, 1000).size();
    std::printf("search finding %lld items: %.2f ms median\n", static_cast<long long>(found),
        medianMs(21, [&] { index.search(rareWord, 100); }));
    std::printf("three-character search of common characters (100 shown): %.2f ms median\n",
        medianMs(11, [&] { index.search(QStringLiteral("的一是"), 100); }));
    std::printf("one-character search, common (100 shown): %.2f ms median\n",
        medianMs(11, [&] { index.search(QStringLiteral("的"), 100); }));
    std::printf("one-character search, absent: %.2f ms median\n",
        medianMs(11, [&] { index.search(QString(absentHanzi), 100); }));
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
    if (args.contains(QStringLiteral("--floor"))) {
        const double floor = floorSeconds(db, dir.filePath(QStringLiteral("floor.db")));
        std::printf("FTS5 alone on the same texts: %.1f s (build above: %.1f s, %.2fx)\n", floor,
            buildSeconds, buildSeconds / floor);
    }
    database.close();
    return 0;
}
