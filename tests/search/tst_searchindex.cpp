#include "NoteText.h"
#include "SearchCommand.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SearchIndexObserver.h"
#include "SearchMatch.h"
#include "StorageFixture.h"
#include "TestSupport.h"
#include "WritePriority.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTextDocumentFragment>
#include <QTextStream>

namespace {

ContentBlock block(int type, const QString &value, const QString &summary = QString())
{
    ContentBlock b;
    b.type = type;
    b.value = value;
    b.summary = summary;
    return b;
}

QString noteHtml(const QString &body)
{
    return QStringLiteral("<!DOCTYPE HTML><html><head><meta name=\"qrichtext\" content=\"1\" />"
                          "<style type=\"text/css\">p, li { white-space: pre-wrap; }</style>"
                          "</head><body style=\"font-size:9pt;\">\n<p style=\"margin:0px;\">")
        + body + QStringLiteral("</p></body></html>");
}

// An opened database without the sample items, with a search index over it.
struct SearchStorage : StorageFixture {
    explicit SearchStorage(const QString &root = QString())
        : StorageFixture(root)
        , index(&database)
    {
        if (!open())
            qWarning("open failed: %s", qPrintable(error));
        sql(QStringLiteral("DELETE FROM data_items"));
        sql(QStringLiteral("DELETE FROM search_index"));
    }

    qint64 addItem(const QString &here, const QString &cont, const QString &remark = QString(),
        const QList<ContentBlock> &resources = {})
    {
        DataItem item;
        item.here = here;
        item.cont = cont;
        item.remark = remark;
        const qint64 iid = service.create(item, &error);
        if (iid && !resources.isEmpty() && !service.replaceContentBlocks(iid, resources, &error))
            return 0;
        return iid;
    }

    // The iids found for text, in result order.
    QList<qint64> found(const QString &text, const QSet<qint64> &exclude = {}) const
    {
        QList<qint64> iids;
        for (const SearchHit &hit : index.search(text, 100, exclude))
            iids << hit.item.iid;
        return iids;
    }

    QString databaseFile() const { return Database::databaseFilePath(database.rootPath); }

    SearchIndex index;
};

} // namespace

class TestSearchIndex : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { SearchIndexObserver::install(); }

    void noteTextMatchesTheRichTextEngine()
    {
        const QStringList documents = {noteHtml(QStringLiteral("一行 &amp; &lt;tag&gt; a&nbsp;b")),
            noteHtml(QStringLiteral("first</p>\n<p style=\"x\">second<br />third")),
            noteHtml(QStringLiteral("<span style=\"font-weight:600;\">粗体</span> &#x4e2d;&#25991; "
                                    "<a href=\"http://x.example/?a=1&amp;b=>\">链接</a>")),
            noteHtml(QString()), QStringLiteral("plain text, no tags at all")};
        for (const QString &html : documents)
            QCOMPARE(plainTextFromHtml(html), QTextDocumentFragment::fromHtml(html).toPlainText());
        QCOMPARE(pathFileName(QStringLiteral("C:\\资料\\合同.pdf")), QStringLiteral("合同.pdf"));
        QCOMPARE(pathFileName(QStringLiteral("/home/a/报表/")), QStringLiteral("报表"));
    }

    void everyIndexedFieldIsFoundInAnyScriptAndLength()
    {
        SearchStorage s;
        const qint64 a = s.addItem(QStringLiteral("名称甲"), QStringLiteral("Quarterly 报表整理"),
            QStringLiteral("备注：钥匙在抽屉"),
            {block(0, noteHtml(QStringLiteral("会议纪要 <b>Budget</b> 讨论")),
                 QStringLiteral("笔记题")),
                block(1, QStringLiteral("D:\\work\\合同扫描.PDF")),
                block(1, QStringLiteral("/srv/archive/年度档案"), QStringLiteral("folder")),
                block(2, QStringLiteral("https://wiki.example.org/page"),
                    QStringLiteral("团队知识库首页"))});
        const qint64 b = s.addItem(QStringLiteral("名称乙"), QStringLiteral("其他"));
        QVERIFY2(a && b, qPrintable(s.error));
        QVERIFY(s.index.isComplete());

        for (const QString &text :
            QStringList {"quarterly", "报表", "报", "钥匙在", "Budget", "纪要", "笔记题",
                "合同扫描", "pdf", "年度档案", "wiki.example", "知识库", "Q", "ud"})
            QVERIFY2(s.found(text) == QList<qint64>({a}), qPrintable(text));
        // Not indexed: names (the name search finds those), HTML markup, the folder marker.
        for (const QString &text :
            QStringList {"名称甲", "span", "style", "qrichtext", "folder", "work\\"})
            QVERIFY2(s.found(text).isEmpty(), qPrintable(text));
        QCOMPARE(s.found(QStringLiteral("其他")), QList<qint64>({b}));
        QVERIFY(s.found(QStringLiteral("其他"), {b}).isEmpty());

        const SearchHit hit = s.index.search(QStringLiteral("知识库"), 10).value(0);
        QCOMPARE(hit.item.here, QStringLiteral("名称甲"));
        QVERIFY2(hit.snippet.contains(QStringLiteral("团队知识库首页")), qPrintable(hit.snippet));
    }

    void betterMatchesComeFirst()
    {
        SearchStorage s;
        const qint64 inNote = s.addItem(
            QStringLiteral("x1"), QStringLiteral("c1"), {}, {block(0, noteHtml("alpha beta"))});
        const qint64 inContent = s.addItem(QStringLiteral("x2"), QStringLiteral("alpha"));
        QCOMPARE(s.found(QStringLiteral("alpha")), QList<qint64>({inContent, inNote}));
        QCOMPARE(s.found(QStringLiteral("al")), QList<qint64>({inContent, inNote}));
        // Holding every trigram of the text is not enough: the text itself must be there, within
        // one field.
        const qint64 scattered = s.addItem(QStringLiteral("x3"), QStringLiteral("abcdXbcde"),
            QStringLiteral("AlPHa"), {block(2, QStringLiteral("lph"))});
        QCOMPARE(s.found(QStringLiteral("bcde")), QList<qint64>({scattered}));
        QVERIFY(s.found(QStringLiteral("abcde")).isEmpty());
        QVERIFY(s.found(QStringLiteral("alphalph")).isEmpty());
        QCOMPARE(s.found(QStringLiteral("ALPHA")), QList<qint64>({inContent, scattered, inNote}));
    }

    void indexFollowsSaveReplaceAndErase()
    {
        SearchStorage s;
        const qint64 iid = s.addItem(QStringLiteral("n"), QStringLiteral("旧的内容"), QString(),
            {block(0, noteHtml(QStringLiteral("旧笔记")))});
        DataItem item = s.items.get(iid);
        item.cont = QStringLiteral("新的内容");
        QVERIFY(s.service.save(item, &s.error));
        QVERIFY(s.found(QStringLiteral("旧的内容")).isEmpty());
        QCOMPARE(s.found(QStringLiteral("新的内容")), QList<qint64>({iid}));
        QCOMPARE(s.found(QStringLiteral("旧笔记")), QList<qint64>({iid}));

        QVERIFY(s.service.replaceContentBlocks(
            iid, {block(2, QStringLiteral("https://new.example"))}, &s.error));
        QVERIFY(s.found(QStringLiteral("旧笔记")).isEmpty());
        QCOMPARE(s.found(QStringLiteral("new.example")), QList<qint64>({iid}));

        // A refused save changes neither the item nor its index row.
        item.cont = QStringLiteral("  ");
        QVERIFY(!s.service.save(item, &s.error));
        QCOMPARE(s.found(QStringLiteral("新的内容")), QList<qint64>({iid}));

        QVERIFY(s.service.erase(iid, &s.error));
        QVERIFY(s.found(QStringLiteral("新的内容")).isEmpty());
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM search_index")), 0);

        // The import writes the tables itself and then keeps each item's row in step.
        s.sql(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont) "
                             "VALUES (50, 0, 1, 'imported', '导入的内容')"));
        QVERIFY(SearchIndex::syncItem(s.database.connection(), 50, &s.error));
        QCOMPARE(s.found(QStringLiteral("导入的")), QList<qint64>({50}));

        // The writer kept on a connection is not used across a close: opened again (as a new
        // connection, then the same one), every save still keeps the index in step (and never
        // leaves it to be rebuilt).
        for (int round = 0; round < 2; ++round) {
            if (round == 0) {
                s.database.close();
                QVERIFY(s.open());
            } else {
                QSqlDatabase db = s.database.connection();
                db.close();
                QVERIFY(db.open());
            }
            DataItem again = s.items.get(50);
            again.cont = QStringLiteral("重新打开 %1").arg(round);
            QVERIFY(s.service.save(again, &s.error));
            QCOMPARE(s.found(again.cont), QList<qint64>({50}));
            QVERIFY(s.found(QStringLiteral("导入的")).isEmpty());
            QVERIFY(s.index.isComplete());
        }
    }

    void hostileQueriesAreMatchedLiterally()
    {
        SearchStorage s;
        const QStringList texts = {QStringLiteral("say \"hi\" now"), QStringLiteral("a*b"),
            QStringLiteral("x AND y"), QStringLiteral("NEAR(p q)"), QStringLiteral("col: {v} ^w"),
            QStringLiteral("C:\\dir\\f"), QStringLiteral("50%"), QStringLiteral("a_b"),
            QStringLiteral("- + ( ) '")};
        QList<qint64> iids;
        for (const QString &text : texts)
            iids << s.addItem(QStringLiteral("n"), text);
        for (int i = 0; i < texts.size(); ++i)
            QVERIFY2(s.found(texts.at(i)) == QList<qint64>({iids.at(i)}), qPrintable(texts.at(i)));
        for (const QString &text : QStringList {"\"", "\"hi", "hi\" now\"", "*", "AND", "NEAR",
                 "OR", "NOT x", "{", "^", "\\", "%", "_", "'", "0%"})
            QVERIFY2(s.found(text).size() <= 1, qPrintable(text)); // no error, no wildcard
        QCOMPARE(s.found(QStringLiteral("%")), QList<qint64>({iids.at(6)}));
        QCOMPARE(s.found(QStringLiteral("_")), QList<qint64>({iids.at(7)}));
        QCOMPARE(s.found(QStringLiteral("\"hi")), QList<qint64>({iids.at(0)}));
        QCOMPARE(s.found(QStringLiteral("\\")), QList<qint64>({iids.at(5)}));
        QVERIFY(s.found(QStringLiteral("x*y")).isEmpty());
        QVERIFY(s.found(QStringLiteral("   ")).isEmpty());
        // The name search is untouched: LIKE wildcards stay literal there too.
        QCOMPARE(s.items.searchByName(QStringLiteral("n"), 100).size(), texts.size());
        QVERIFY(s.items.searchByName(QStringLiteral("%"), 100).isEmpty());
    }

    void literalTestAgreesWithEscapedLike()
    {
        // The short-query scan and the check of trigram candidates use our own function; it must
        // decide exactly as LIKE with every wildcard escaped did, on hostile and non-ASCII input.
        SearchStorage s;
        QVERIFY(registerSearchFunctions(s.database.connection()));
        const QStringList texts = {QStringLiteral("Report 报告 draft"), QStringLiteral("50% a_b"),
            QStringLiteral("C:\\dir\\f \"q\" 'x'"), QStringLiteral("中文的内容"),
            QStringLiteral("aAbB"), QStringLiteral("naïve ÉCOLE"), QStringLiteral("😀 emoji"),
            QString()};
        const QStringList needles = {QStringLiteral("r"), QStringLiteral("REPORT"),
            QStringLiteral("rT"), QStringLiteral("报"), QStringLiteral("报告"), QStringLiteral("%"),
            QStringLiteral("_"), QStringLiteral("a_b"), QStringLiteral("a%"), QStringLiteral("\\"),
            QStringLiteral("\\d"), QStringLiteral("\""), QStringLiteral("'"),
            QStringLiteral("的内"), QStringLiteral("ab"), QStringLiteral("BB"),
            QStringLiteral("bba"), QStringLiteral("école"), QStringLiteral("ÉCO"),
            QStringLiteral("😀"), QStringLiteral("aAbBc"), QStringLiteral("t d")};
        // The rank agrees with the expression it replaces: separators before the first match
        // (counted in the prefix up to it), then the match's place in characters.
        QStringList separated = texts;
        separated << QStringLiteral("a\x1f\x1fReport\x1f报告 x") << QStringLiteral("\x1f\x1f\x1f")
                  << QStringLiteral("中\x1f文\x1fab报告ab");
        for (const QString &text : separated) {
            for (const QString &needle : needles + QStringList {QStringLiteral("\x1f文")}) {
                bool letter = false;
                for (QChar c : needle)
                    letter = letter || (c.unicode() < 128 && c.isLetter());
                const QString at
                    = letter ? QStringLiteral("instr(lower(?), ?)") : QStringLiteral("instr(?, ?)");
                QSqlQuery query(s.database.connection());
                QVERIFY(query.prepare(
                    QStringLiteral("SELECT velto_contains(?, ?), ? LIKE ? ESCAPE '\\', "
                                   "velto_rank(?, ?), (length(substr(?, 1, %1)) - "
                                   "length(replace(substr(?, 1, %1), char(31), ''))) * "
                                   "4294967296 + %1")
                        .arg(at)));
                QString lowered = needle; // lower() in SQLite lowers ASCII letters only
                for (QChar &c : lowered)
                    c = c.unicode() < 128 ? c.toLower() : c;
                for (const QString &value :
                    {text, needle, text, DataItemRepository::searchPattern(needle), text, needle,
                        text, text, lowered, text, text, lowered, text, lowered})
                    query.addBindValue(value);
                QVERIFY(query.exec() && query.next());
                const QString what = text + QStringLiteral(" / ") + needle;
                QVERIFY2(query.value(0).toBool() == query.value(1).toBool(), qPrintable(what));
                QVERIFY2(
                    query.value(2).toLongLong() == query.value(3).toLongLong(), qPrintable(what));
                QCOMPARE(containsText(text.toUtf8(), needle.toUtf8()), query.value(1).toBool());
            }
        }
        // Through the search: one and two characters, any case, newest first.
        const qint64 older = s.addItem(QStringLiteral("n"), QStringLiteral("Zq 稀"));
        const qint64 newer = s.addItem(QStringLiteral("n"), QStringLiteral("zQ 稀有"));
        QCOMPARE(s.found(QStringLiteral("zq")), QList<qint64>({newer, older}));
        QCOMPARE(s.found(QStringLiteral("稀")), QList<qint64>({newer, older}));
        QCOMPARE(s.found(QStringLiteral("稀有")), QList<qint64>({newer}));
        QVERIFY(s.found(QStringLiteral("鑫")).isEmpty());
    }

    void buildKeepsRowsOfChangesAndRestartsWhenAsked()
    {
        SearchStorage s;
        const QList<ContentBlock> resources
            = {block(ContentBlock::Text, noteHtml(QStringLiteral("笔记正文 body"))),
                block(ContentBlock::WebLink, QStringLiteral("https://example.org/x"),
                    QStringLiteral("摘要")),
                block(ContentBlock::LocalPath, QStringLiteral("/tmp/file.txt"),
                    QStringLiteral("file"))};
        QList<qint64> iids;
        for (int i = 0; i < 30; ++i)
            iids << s.addItem(
                QStringLiteral("n"), QStringLiteral("item %1").arg(i), QString(), resources);
        // More items than are indexed while the database opens, so that the builder does it.
        s.sql(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1001 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 1900) INSERT INTO data_items(iid, pid, sortid, here, cont) "
                             "SELECT i, 0, i, 'item', 'number ' || i FROM n"));
        QVERIFY(SearchIndex::reset(s.database.connection(), &s.error));
        // A change made before the build reaches the item writes its row; the build keeps it.
        DataItem changed = s.items.get(iids.at(20));
        changed.cont = QStringLiteral("changed meanwhile");
        QVERIFY(s.service.save(changed, &s.error));
        QCOMPARE(
            SearchIndexBuilder::run(s.databaseFile(), QStringLiteral("b"), {}, nullptr, &s.error),
            SearchIndexBuilder::Outcome::Built);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM search_index_content")), 930);
        QVERIFY(SearchIndex::passesSampleCheck(s.database.connection(), 930));
        QVERIFY(SearchIndex::passesIntegrityCheck(s.database.connection()));
        QCOMPARE(s.found(QStringLiteral("changed meanwhile")), QList<qint64>({iids.at(20)}));
        QCOMPARE(s.found(QStringLiteral("笔记正文")).size(), 30);

        // A change that could not keep the index in step clears the build's place: a build
        // under way starts over instead of completing an index that misses the change.
        QVERIFY(SearchIndex::reset(s.database.connection(), &s.error));
        bool cleared = false;
        const auto missChange = [&](qint64, qint64) {
            if (cleared)
                return;
            s.sql(QStringLiteral("UPDATE data_items SET cont = 'missed' WHERE iid = %1")
                      .arg(iids.at(0)));
            cleared = SearchIndex::markComplete(s.database.connection(), false, nullptr);
        };
        QCOMPARE(SearchIndexBuilder::run(
                     s.databaseFile(), QStringLiteral("c"), missChange, nullptr, &s.error),
            SearchIndexBuilder::Outcome::Built);
        QVERIFY(cleared);
        QCOMPARE(s.found(QStringLiteral("missed")), QList<qint64>({iids.at(0)}));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM search_index_content")), 930);
    }

    void droppedOrDamagedIndexIsRebuilt()
    {
        SearchStorage s;
        const qint64 iid = s.addItem(QStringLiteral("n"), QStringLiteral("持久的内容 durable"));
        const QString root = s.database.rootPath;

        // Dropped, or a shadow table lost: the next open starts the index afresh and fills it.
        for (const QString &damage : {QStringLiteral("DROP TABLE search_index"),
                 QStringLiteral("DROP TABLE search_index_idx")}) {
            s.sql(damage);
            s.database.close();
            QVERIFY(s.open());
            QVERIFY(s.index.isComplete());
            QCOMPARE(s.found(QStringLiteral("durable")), QList<qint64>({iid}));
        }

        // Damaged contents pass a cheap probe but not FTS5's own check, run by the builder, nor
        // the sampled check that larger indexes get.
        QVERIFY(SearchIndex::passesSampleCheck(s.database.connection(), 10));
        s.sql(QStringLiteral("UPDATE search_index_content SET c0 = 'something else'"));
        QVERIFY(!SearchIndex::passesIntegrityCheck(s.database.connection()));
        QVERIFY(!SearchIndex::passesSampleCheck(s.database.connection(), 10));
        QCOMPARE(SearchIndexBuilder::run(
                     s.databaseFile(), QStringLiteral("check"), {}, nullptr, &s.error),
            SearchIndexBuilder::Outcome::Built);
        QVERIFY(SearchIndex::passesIntegrityCheck(s.database.connection()));
        QCOMPARE(s.found(QStringLiteral("durable")), QList<qint64>({iid}));
        QCOMPARE(SearchIndexBuilder::run(
                     s.databaseFile(), QStringLiteral("check"), {}, nullptr, &s.error),
            SearchIndexBuilder::Outcome::AlreadyComplete);
        QCOMPARE(root, s.database.rootPath);

        // An index of an older layout is replaced and built again.
        s.sql(QStringLiteral("DROP TABLE search_index"));
        s.sql(QStringLiteral("CREATE VIRTUAL TABLE search_index USING fts5(name, content, "
                             "remark, notes, links, files, tokenize = 'trigram')"));
        s.sql(QStringLiteral("INSERT INTO app_state(key, value) "
                             "VALUES ('search_index_complete_v1', '1')"));
        s.database.close();
        QVERIFY(s.open());
        QCOMPARE(s.found(QStringLiteral("durable")), QList<qint64>({iid}));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM app_state "
                                         "WHERE key = 'search_index_complete_v1'")),
            0);
    }

    void largeDatabaseIsBuiltInTheBackground()
    {
        SearchStorage s;
        s.sql(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 900) INSERT INTO data_items(iid, pid, sortid, here, cont) "
                             "SELECT i, 0, i, 'item ' || i, 'content number ' || i FROM n"));
        QVERIFY(SearchIndex::reset(s.database.connection(), &s.error));
        s.database.close();
        QVERIFY(s.open());
        QVERIFY(!s.index.isComplete());
        // Searching works meanwhile; it covers what has been indexed so far.
        QVERIFY(s.found(QStringLiteral("number 77")).isEmpty());

        // Stopped after its first batch, a build resumes where it stopped.
        std::atomic_bool stop {false};
        qint64 stoppedAt = 0;
        const auto stopNow = [&](qint64 done, qint64) { stoppedAt = done, stop = true; };
        QCOMPARE(SearchIndexBuilder::run(
                     s.databaseFile(), QStringLiteral("stopped"), stopNow, &stop, &s.error),
            SearchIndexBuilder::Outcome::Stopped);
        QVERIFY(!s.index.isComplete());
        QVERIFY(stoppedAt > 0 && stoppedAt < 900);
        QCOMPARE(SearchIndex::buildFrontier(s.database.connection()), stoppedAt);
        const auto number = [](qint64 n) { return QStringLiteral("content number %1").arg(n); };
        QCOMPARE(s.found(number(stoppedAt)), QList<qint64>({stoppedAt}));
        QVERIFY(s.found(number(stoppedAt + 1)).isEmpty());

        // The program's connection waits through the build's batches with a handler of its own.
        QVERIFY(preferForegroundConnection(s.database.connection()));
        SearchIndexBuilder builder(s.databaseFile());
        QSignalSpy progress(&builder, &SearchIndexBuilder::progress);
        QSignalSpy finished(&builder, &SearchIndexBuilder::finished);
        builder.start();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().at(0).toBool(), true);
        QVERIFY(!progress.isEmpty());
        QVERIFY(progress.first().at(0).toLongLong() > stoppedAt);
        QCOMPARE(progress.last().at(0).toLongLong(), 900);
        QCOMPARE(progress.last().at(1).toLongLong(), 900);
        QVERIFY(s.index.isComplete());
        QCOMPARE(s.found(QStringLiteral("number 777")), QList<qint64>({777}));
        // The build turns FTS5's own merging off while it runs, and on again when done.
        QCOMPARE(
            s.scalar(QStringLiteral("SELECT v FROM search_index_config WHERE k = 'automerge'")),
            16);
    }

    void commandLinePrintsNameMatchesThenTextMatches()
    {
        QTemporaryDir root;
        {
            SearchStorage s(root.path());
            s.addItem(QStringLiteral("Tab\there"), QStringLiteral("x"));
            s.addItem(QStringLiteral("other"), QStringLiteral("mentions Tab\tin\ncontent"));
        }
        QString output;
        QString errors;
        QTextStream out(&output);
        QTextStream err(&errors);
        QCOMPARE(runSearchCommand(QStringLiteral("tab"), out, err, root.path()), 0);
        QCOMPARE(output, QStringLiteral("1\tTab here\tx\n2\tother\tmentions Tab in content\n"));
        output.clear();
        QCOMPARE(runSearchCommand(QStringLiteral("nowhere"), out, err, root.path()), 1);
        QVERIFY(output.isEmpty());

        QTemporaryDir notADatabase;
        QDir().mkpath(notADatabase.filePath(QStringLiteral("data")));
        QFile junk(notADatabase.filePath(QStringLiteral("data/velto.db")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        QCOMPARE(runSearchCommand(QStringLiteral("x"), out, err, notADatabase.path()), 2);
        QVERIFY(!errors.isEmpty());
    }
};

VELTO_TEST_MAIN_WITH(QGuiApplication, TestSearchIndex)
#include "tst_searchindex.moc"
