#include "ExportDocument.h"
#include "ImportTransaction.h"
#include "InterchangeFixture.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SearchIndexObserver.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QTemporaryDir>

#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// Imports bytes; returns the error text (empty on success).
QString importBytes(StorageFixture &fx, const QByteArray &bytes, ImportTransaction *out = nullptr)
{
    ImportTransaction import(&fx.database);
    QString error;
    const bool ok = import.loadBytes(bytes, &error) && import.run(&error);
    if (out)
        *out = import;
    return ok ? QString() : error;
}

// The import as the plain definition states it: repeated passes over the pending entries in file
// order, into an empty database. Rows are "iid pid sortid name".
QString passesModel(
    const QList<QPair<qint64, qint64>> &entries, QStringList *rows, qint64 *selected)
{
    QList<int> pending;
    for (int i = 0; i < entries.size(); ++i)
        pending << i;
    QHash<qint64, qint64> ids;
    QHash<qint64, qint64> sorts;
    qint64 next = 1;
    while (!pending.isEmpty()) {
        QList<int> still;
        bool inserted = false;
        for (int i : pending) {
            const auto [id, parentId] = entries.at(i);
            if (id < 1 || ids.contains(id))
                return interchange::invalidIdMessage();
            if (parentId != 0 && !ids.contains(parentId)) {
                still << i;
                continue;
            }
            const qint64 parent = parentId == 0 ? 0 : ids.value(parentId);
            const qint64 sortid = sorts.value(parent, 1);
            sorts.insert(parent, sortid + 1);
            *rows << QStringLiteral("%1 %2 %3 e%4").arg(next).arg(parent).arg(sortid).arg(i);
            ids.insert(id, next);
            if (parent == 0)
                *selected = next;
            ++next;
            inserted = true;
        }
        if (!inserted)
            return interchange::invalidHierarchyMessage();
        pending = still;
    }
    return {};
}

QStringList storedRows(StorageFixture &fx)
{
    QStringList rows;
    QSqlQuery query
        = fx.sql(QStringLiteral("SELECT iid, pid, sortid, here FROM data_items ORDER BY iid"));
    while (query.next())
        rows << QStringLiteral("%1 %2 %3 %4")
                    .arg(query.value(0).toLongLong())
                    .arg(query.value(1).toLongLong())
                    .arg(query.value(2).toLongLong())
                    .arg(query.value(3).toString());
    return rows;
}

} // namespace

class InterchangeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { SearchIndexObserver::install(); }

    void roundTripDoublesTheSampleTree()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        QString error;
        QVERIFY(fx.items.setFavorite(5, true, &error));
        QVERIFY(fx.blocks.replace(5,
            {{0, 0, 0, ContentBlock::Text, QStringLiteral("<p>笔记</p>"), QString()},
                {0, 0, 0, ContentBlock::WebLink, QStringLiteral("https://example.org"),
                    QStringLiteral("示例")}},
            &error));
        Attachment attachment;
        attachment.itemIid = 5;
        attachment.location = QStringLiteral("/tmp/x");
        attachment.displayName = QStringLiteral("x");
        QVERIFY(fx.attachments.insert(attachment, &error) > 0);

        qint64 count = 0;
        const QByteArray bytes = ExportDocument::build(&fx.database, &count);
        QCOMPARE(count, 8);
        const QJsonObject root = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(
            root.value(QStringLiteral("format")).toString(), QStringLiteral("velto-export-v1"));
        QVERIFY(
            QDateTime::fromString(root.value(QStringLiteral("exportedAt")).toString(), Qt::ISODate)
                .isValid());
        QVERIFY(bytes.contains("\n    \"items\": [")); // indented

        ImportTransaction import(&fx.database);
        QVERIFY(importBytes(fx, bytes, &import).isEmpty());
        QCOMPARE(import.importedCount(), 8);
        QCOMPARE(import.selectedIid(), 11);
        QCOMPARE(fx.level(0), QStringList({"1:1", "4:2", "7:3", "9:4", "10:5", "11:6"}));
        QCOMPARE(fx.level(9), QStringList({"12:1", "13:2"}));
        QCOMPARE(fx.level(10), QStringList({"14:1", "15:2"}));
        QCOMPARE(fx.level(11), QStringList({"16:1"}));
        QVERIFY(fx.items.get(14).favorite);
        QCOMPARE(fx.blocks.byItem(14).size(), 2);
        QCOMPARE(fx.blocks.byItem(14).at(1).summary, QStringLiteral("示例"));
        QCOMPARE(fx.blocks.byItem(14).at(0).summary, QStringLiteral("")); // never NULL
        QCOMPARE(fx.scalar(QStringLiteral("SELECT COUNT(*) FROM attachments")), 1);
    }

    // Resolution must give what repeated passes in file order give: same iids, positions,
    // messages and selected item, on many small files with forward references, duplicates and
    // loops.
    void parentsResolveLikeRepeatedPasses()
    {
        EmptyStorage fx;
        fastWrites(fx);
        auto *random = QRandomGenerator::global();
        for (int trial = 0; trial < 200; ++trial) {
            QList<QPair<qint64, qint64>> entries;
            QJsonArray items;
            const int n = 1 + random->bounded(9);
            for (int i = 0; i < n; ++i) {
                const qint64 id = random->bounded(10) == 0 ? 0 : 1 + random->bounded(n + 1);
                const qint64 parent = random->bounded(3) == 0 ? 0 : 1 + random->bounded(n + 2);
                entries.append({id, parent});
                items.append(entry(double(id), double(parent), QStringLiteral("e%1").arg(i)));
            }
            QStringList expected;
            qint64 expectedSelected = 0;
            const QString expectedError = passesModel(entries, &expected, &expectedSelected);
            ImportTransaction import(&fx.database);
            const QString error = importBytes(fx, exportFile(items), &import);
            QCOMPARE(error, expectedError);
            QCOMPARE(storedRows(fx), expectedError.isEmpty() ? expected : QStringList());
            QCOMPARE(import.selectedIid(), expectedError.isEmpty() ? expectedSelected : 0);
            fx.sql(QStringLiteral("DELETE FROM data_items"));
        }
    }

    void childrenBeforeParentsAndDeepChains()
    {
        EmptyStorage fx;
        fastWrites(fx);
        // Child, parent, grandchild, and an id given as a string of digits.
        QVERIFY(importBytes(fx,
            exportFile({entry(2.0, QStringLiteral("1"), QStringLiteral("child")),
                entry(QStringLiteral("1"), 0.0, QStringLiteral("parent")),
                entry(3.0, 2.0, QStringLiteral("grandchild"))}))
                    .isEmpty());
        QCOMPARE(storedRows(fx), QStringList({"1 0 1 parent", "2 1 1 child", "3 2 1 grandchild"}));

        // A chain 50,000 deep, every child listed before its parent: one pass per level would be
        // quadratic.
        fx.sql(QStringLiteral("DELETE FROM data_items"));
        const int depth = 50000;
        QJsonArray chain;
        for (int i = depth; i >= 1; --i)
            chain.append(entry(double(i), double(i - 1), QStringLiteral("n%1").arg(i)));
        QVERIFY(importBytes(fx, exportFile(chain)).isEmpty());
        QCOMPARE(fx.scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), depth);
        QCOMPARE(fx.scalar(QStringLiteral("SELECT pid FROM data_items WHERE here = 'n50000'")),
            depth - 1);
    }

    void blocksAreReadLeniently()
    {
        EmptyStorage fx;
        fastWrites(fx);
        const QJsonArray blocks {QJsonObject {{"type", 3}, {"value", "dropped"}},
            QStringLiteral("not an object"), QJsonObject {{"value", "untyped"}},
            QJsonObject {{"type", 1}, {"value", "/tmp"}, {"summary", "folder"}}};
        QVERIFY(
            importBytes(fx, exportFile({entry(1.0, 0.0, QStringLiteral("a"), blocks)})).isEmpty());
        const QList<ContentBlock> stored = fx.blocks.byItem(1);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(0).type, int(ContentBlock::Text));
        QCOMPARE(stored.at(0).value, QStringLiteral("untyped"));
        QCOMPARE(stored.at(1).summary, QStringLiteral("folder"));
    }

    // Imported items are found by their text at once: the index stays complete and in step,
    // also where an imported item takes the iid of an erased one.
    void importKeepsTheSearchIndexInStep()
    {
        EmptyStorage fx;
        fastWrites(fx);
        const QJsonArray note {QJsonObject {{"type", 0}, {"value", "<p>导入的<i>笔记</i></p>"}}};
        const QJsonArray link {QJsonObject {
            {"type", 2}, {"value", "https://a.test/"}, {"summary", "页面摘要 summary"}}};
        QVERIFY(importBytes(fx,
            exportFile({entry(1.0, 0.0, QStringLiteral("甲"), note),
                entry(2.0, 1.0, QStringLiteral("乙"), link)}))
                    .isEmpty());
        SearchIndex index(&fx.database);
        QVERIFY(index.isComplete());
        const auto found = [&](const char *text) {
            QList<qint64> iids;
            for (const SearchHit &hit : index.search(QString::fromUtf8(text), 10))
                iids << hit.item.iid;
            return iids;
        };
        QCOMPARE(found("的笔记"), QList<qint64> {1});
        QCOMPARE(found("笔"), QList<qint64> {1});
        QCOMPARE(found("SUMMARY"), QList<qint64> {2});
        QVERIFY(found("<i>").isEmpty());
        QVERIFY(found("项目").isEmpty()); // the erased sample items' text is gone with them
    }

    // A file over the limit leaves its items' index rows to the background build, which resumes
    // at the first imported item; a database with a build under way keeps its own frontier.
    void largeFilesLeaveTheIndexToTheBuild()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        fastWrites(fx);
        SearchIndex index(&fx.database);
        QVERIFY(index.isComplete());
        const qint64 before = fx.scalar(QStringLiteral("SELECT MAX(iid) FROM data_items"));
        QJsonArray many;
        const QString filler(16000, QLatin1Char('f'));
        for (int i = 1; i <= 300; ++i) {
            const QString text = i == 7 ? QStringLiteral("<p>独一无二</p>") : filler;
            many.append(entry(double(i), 0.0, QStringLiteral("m"),
                QJsonArray {QJsonObject {{"type", 0}, {"value", text}}}));
        }
        const QByteArray bytes = exportFile(many);
        QVERIFY(bytes.size() > ImportTransaction::inlineIndexLimit);
        ImportTransaction import(&fx.database);
        QVERIFY(importBytes(fx, bytes, &import).isEmpty());
        QVERIFY(import.leftIndexToBuild());
        QVERIFY(!index.isComplete());
        QCOMPARE(SearchIndex::buildFrontier(fx.database.connection()), before);
        QVERIFY(index.search(QStringLiteral("独一无二"), 10).isEmpty());

        // A second large import while the build is pending leaves the frontier where it was.
        QVERIFY(importBytes(fx, bytes).isEmpty());
        QCOMPARE(SearchIndex::buildFrontier(fx.database.connection()), before);

        QString error;
        QCOMPARE(SearchIndexBuilder::run(Database::databaseFilePath(fx.database.rootPath),
                     QStringLiteral("test-build"), {}, nullptr, &error),
            SearchIndexBuilder::Outcome::Built);
        QVERIFY(index.isComplete());
        QCOMPARE(index.search(QStringLiteral("独一无二"), 10).size(), 2);
    }

    // Every refusal leaves every table as it was.
    void refusalsChangeNothing()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        const QString before = snapshot(fx);
        QJsonObject noRemark = entry(2.0, 0.0, QStringLiteral("x"));
        noRemark.remove(QStringLiteral("remark"));
        const struct {
            QByteArray bytes;
            QString message;
        } cases[] = {
            {"not json", interchange::notAnExportMessage()},
            {R"({"format":"velto-export-v2","items":[{}]})", interchange::notAnExportMessage()},
            {R"({"format":"velto-export-v1","items":[]})", interchange::notAnExportMessage()},
            {R"({"format":"velto-export-v1","items":{}})", interchange::notAnExportMessage()},
            {R"({"format":"velto-export-v1","items":[{},3]})", interchange::invalidEntryMessage()},
            {exportFile({entry(1.0, 0.0, "a"), entry(0.0, 0.0, "b")}),
                interchange::invalidIdMessage()},
            {exportFile({entry(1.0, 0.0, "a"), entry(1.0, 0.0, "b")}),
                interchange::invalidIdMessage()},
            // Item 5 exists in the database; parents are only looked up in the file.
            {exportFile({entry(1.0, 0.0, "a"), entry(2.0, 5.0, "b")}),
                interchange::invalidHierarchyMessage()},
            {exportFile({entry(1.0, 2.0, "a"), entry(2.0, 1.0, "b")}),
                interchange::invalidHierarchyMessage()},
            {exportFile({entry(1.0, 0.0, "a"), noRemark}), QStringLiteral("NOT NULL")},
        };
        for (const auto &c : cases) {
            const QString error = importBytes(fx, c.bytes);
            QVERIFY2(
                error.contains(c.message), qPrintable(error + QStringLiteral(" / ") + c.message));
            QCOMPARE(snapshot(fx), before);
        }

        // Cancelled part-way: rolled back.
        QJsonArray many;
        for (int i = 1; i <= 3000; ++i)
            many.append(entry(double(i), 0.0, QStringLiteral("m")));
        ImportTransaction import(&fx.database);
        QString error;
        QVERIFY(import.loadBytes(exportFile(many), &error));
        QCOMPARE(import.entryCount(), 3000);
        QVERIFY(!import.run(&error, [](qint64 done, qint64) { return done < 2000; }));
        QVERIFY(import.wasCancelled());
        QCOMPARE(snapshot(fx), before);

        QVERIFY(!import.load(fx.dir.filePath(QStringLiteral("missing.json")), &error));
        QVERIFY(!error.isEmpty());
    }

    // The file is never held whole. With reads of a few hundred bytes (as a file of gigabytes
    // meets the default read size), an export many reads long, with an entry longer than a read,
    // imports back exactly, from a file and from a pipe; a file changed between loading and the
    // run is refused and the import rolled back.
    void exportsImportBackReadInPieces()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        fastWrites(fx);
        const QList<ContentBlock> blocks {
            {0, 0, 0, ContentBlock::Text, QString(3000, QLatin1Char('x')), QString()},
            {0, 0, 0, ContentBlock::WebLink, QStringLiteral("https://example.org"),
                QStringLiteral("示例 \"],[{")}};
        QVERIFY(fx.blocks.replace(5, blocks, &fx.error));
        const qint64 readSize = exportfile::readSize();
        exportfile::setReadSize(256);
        const QString path = fx.dir.filePath(QStringLiteral("tree.velto.json"));
        QVERIFY(ExportDocument::write(&fx.database, path).ok);
        QVERIFY(QFileInfo(path).size() > 20 * exportfile::readSize());
        const QString before = snapshot(fx);

        ImportTransaction import(&fx.database);
        QString error;
        QVERIFY2(import.load(path, &error) && import.run(&error), qPrintable(error));
        QCOMPARE(import.importedCount(), 8);
        QCOMPARE(fx.level(0), QStringList({"1:1", "4:2", "7:3", "9:4", "10:5", "11:6"}));
        QCOMPARE(fx.level(10), QStringList({"14:1", "15:2"}));
        QCOMPARE(fx.blocks.byItem(14).size(), 2);
        QCOMPARE(fx.blocks.byItem(14).at(0).value, blocks.at(0).value);
        QCOMPARE(fx.blocks.byItem(14).at(1).summary, blocks.at(1).summary);
        QCOMPARE(fx.items.get(16).here, fx.items.get(8).here);
        fx.sql(QStringLiteral("DELETE FROM data_items WHERE iid > 8"));

#ifdef Q_OS_UNIX
        // Through a pipe: copied to a temporary file first.
        const QString fifo = fx.dir.filePath(QStringLiteral("pipe"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        std::thread writer([&] {
            QFile source(path);
            QFile sink(fifo);
            if (source.open(QIODevice::ReadOnly) && sink.open(QIODevice::WriteOnly))
                sink.write(source.readAll());
        });
        const bool loaded = import.load(fifo, &error);
        writer.join();
        QVERIFY2(loaded && import.run(&error), qPrintable(error));
        QCOMPARE(import.importedCount(), 8);
        QCOMPARE(fx.blocks.byItem(14).at(0).value, blocks.at(0).value);
        fx.sql(QStringLiteral("DELETE FROM data_items WHERE iid > 8"));
#endif

        // Changed after loading: the entries no longer read back.
        QVERIFY(import.load(path, &error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(2000, ' '));
        file.close();
        QVERIFY(!import.run(&error));
        QCOMPARE(error, interchange::notAnExportMessage());
        QCOMPARE(snapshot(fx), before);
        exportfile::setReadSize(readSize);
    }

    // The streamed file is byte for byte what QJsonDocument writes from the item objects.
    void exportMatchesTheJsonWriter()
    {
        EmptyStorage fx;
        // Valid text: plain runs around the eight bytes the writer checks at once.
        QString valid = QStringLiteral("\"q\" \\ / \b\f\n\r\t 中文 😀 \x7f");
        valid += QChar(0x01);
        valid += QChar(0x2028);
        for (int run : {7, 8, 9, 15, 16, 17})
            valid += QString(run, QLatin1Char('x')) + QStringLiteral("\"中\t");
        QString nasty = valid;
        nasty += QChar(0xD800); // unpaired surrogates
        nasty += QChar(0xDC00);
        const qint64 ids[] = {1, 9007199254740992LL, 9007199254740993LL, 123456789012345678LL};
        for (qint64 iid : ids) {
            DataItem item;
            item.iid = iid;
            item.pid = iid == 1 ? 0 : 1;
            item.here = nasty;
            item.cont = QStringLiteral("c");
            item.favorite = iid % 2 == 0;
            QSqlQuery insert(fx.database.connection());
            insert.prepare(
                QStringLiteral("INSERT OR REPLACE INTO data_items(iid, pid, sortid, here, cont, "
                               "remark, favorite, \"desc\") VALUES (?, ?, 1, ?, 'c', ?, ?, ?)"));
            for (const QVariant &v : {QVariant(iid), QVariant(item.pid), QVariant(nasty),
                     QVariant(valid), QVariant(int(item.favorite)), QVariant(nasty)})
                insert.addBindValue(v);
            QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));
        }
        QVERIFY(fx.blocks.replace(
            1, {{0, 0, 0, 0, nasty, valid}, {0, 0, 0, 2, QStringLiteral("u"), nasty}}, &fx.error));

        const QByteArray streamed = ExportDocument::build(&fx.database);
        QJsonArray items;
        for (const DataItem &item : fx.items.allItems())
            items.append(ExportDocument::itemObject(item, fx.blocks.byItem(item.iid)));
        QJsonObject root;
        root.insert(QStringLiteral("exportedAt"),
            QJsonDocument::fromJson(streamed).object().value(QStringLiteral("exportedAt")));
        root.insert(QStringLiteral("format"), QStringLiteral("velto-export-v1"));
        root.insert(QStringLiteral("items"), items);
        QCOMPARE(items.size(), 4);
        QCOMPARE(streamed, QJsonDocument(root).toJson(QJsonDocument::Indented));
    }

    void exportWritesAtomically()
    {
        EmptyStorage fx;
        fastWrites(fx);
        const QString path = fx.dir.filePath(QStringLiteral("out.velto.json"));
        ExportDocument::Result result = ExportDocument::write(&fx.database, path);
        QVERIFY(result.ok);
        QCOMPARE(result.count, 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray empty = file.readAll();
        file.close();
        QVERIFY(QJsonDocument::fromJson(empty)
                    .object()
                    .value(QStringLiteral("items"))
                    .toArray()
                    .isEmpty());
        QCOMPARE(importBytes(fx, empty), interchange::notAnExportMessage());

        // A cancelled export leaves the old file exactly as it was.
        fx.sql(
            QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                           "WHERE i < 2500) INSERT INTO data_items(iid, pid, sortid, here, cont) "
                           "SELECT i, 0, i, 'item', '' FROM n"));
        result = ExportDocument::write(
            &fx.database, path, [](qint64 done, qint64) { return done < 1000; });
        QVERIFY(result.cancelled && !result.ok);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), empty);
        file.close();

        // A target that cannot be written reports the file's error text.
        result = ExportDocument::write(
            &fx.database, fx.dir.filePath(QStringLiteral("no/such/dir/x.json")));
        QVERIFY(!result.ok && !result.error.isEmpty());

        // A device that refuses the bytes (a full disk) fails the export with its error text,
        // whichever chunk it refuses.
        if (QFile::exists(QStringLiteral("/dev/full"))) {
            QFile full(QStringLiteral("/dev/full"));
            QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            result = ExportDocument::writeTo(&fx.database, &full);
            QVERIFY(!result.ok && !result.cancelled && !result.error.isEmpty());
            QCOMPARE(result.count, 0);
        }

        // Rows that cannot be read fail the export rather than write a short file.
        fx.sql(QStringLiteral("DROP TABLE content_blocks"));
        result = ExportDocument::write(&fx.database, path);
        QVERIFY(!result.ok && !result.cancelled && !result.error.isEmpty());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), empty);
    }
};

VELTO_TEST_MAIN_CORE(InterchangeTest)
#include "tst_interchange.moc"
