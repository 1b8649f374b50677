#include "StorageFixture.h"
#include "TestSupport.h"

#include <QJsonDocument>

namespace {
ContentBlock block(
    int type, const QString &value, const QString &summary = QString(), qint64 sortid = 0)
{
    ContentBlock b;
    b.type = type;
    b.value = value;
    b.summary = summary;
    b.sortid = sortid;
    return b;
}
} // namespace

class TestContentBlocks : public QObject {
    Q_OBJECT

private slots:
    void jsonFormRoundTripsAndSkipsJunk()
    {
        const ContentBlock link
            = block(2, QStringLiteral("https://a.example"), QStringLiteral("A"));
        const QJsonObject object = contentBlockObject(link);
        QCOMPARE(object.keys(), QStringList({"summary", "type", "value"}));
        QCOMPARE(object.value(QStringLiteral("type")).toInt(), 2);

        const QJsonArray array = QJsonDocument::fromJson(R"([
            {"type": 0, "value": "<p>x</p>", "summary": ""},
            "not an object",
            {"type": 3, "value": "unknown type"},
            {"type": -1, "value": "negative"},
            {"type": 1.5, "value": "fraction reads as 0"},
            {"type": "2", "value": "string type reads as 0"},
            {"value": "missing type", "summary": 7},
            {"type": 1e300, "value": "huge"},
            {"type": 2}
        ])")
                                     .array();
        const QList<ContentBlock> blocks = contentBlocksFromJson(array);
        QStringList values;
        QList<int> types;
        for (const ContentBlock &b : blocks) {
            values << b.value;
            types << b.type;
            QCOMPARE(b.id, 0);
            QCOMPARE(b.sortid, 0);
        }
        QCOMPARE(values,
            QStringList({"<p>x</p>", "fraction reads as 0", "string type reads as 0",
                "missing type", QString()}));
        QCOMPARE(types, QList<int>({0, 0, 0, 0, 2}));
        QVERIFY(blocks.at(3).summary.isNull()); // a non-string summary reads as a null string
        QVERIFY(blocks.at(4).value.isNull());
    }

    void replaceIsWholeAndOrdered()
    {
        EmptyStorage s;
        QString error;
        const qint64 item = s.add(QStringLiteral("item"));
        QVERIFY(s.blocks.replace(item,
            {block(0, QStringLiteral("one")), block(1, QStringLiteral("two")),
                block(2, QStringLiteral("three"))},
            &error));
        QCOMPARE(s.blocks.byItem(item).size(), 3);
        // Positions follow the list, not the blocks' own sortids; empty texts are '' not NULL.
        QVERIFY(s.blocks.replace(item,
            {block(0, QStringLiteral("b"), QString(), 5),
                block(1, QString(), QStringLiteral("folder"), 3),
                block(2, QStringLiteral("d"), QString(), 9)},
            &error));
        const QList<ContentBlock> stored = s.blocks.byItem(item);
        QCOMPARE(stored.size(), 3);
        QCOMPARE(stored.at(0).value, QStringLiteral("b"));
        QCOMPARE(stored.at(0).sortid, 1);
        QCOMPARE(stored.at(1).sortid, 2);
        QCOMPARE(stored.at(2).sortid, 3);
        QCOMPARE(stored.at(1).summary, QStringLiteral("folder"));
        QCOMPARE(stored.at(1).itemIid, item);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks WHERE value IS NULL "
                                         "OR summary IS NULL")),
            0);
        QCOMPARE(
            s.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks WHERE value = ''")), 1);

        // A failing replace keeps the previous blocks: the item does not exist.
        QVERIFY(!s.blocks.replace(999, {block(0, QStringLiteral("orphan"))}, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks")), 3);

        // ... and a failure midway through a list rolls back the delete too.
        s.sql(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON content_blocks WHEN "
                             "NEW.value = 'bad' BEGIN SELECT RAISE(ABORT, 'refused'); END"));
        QVERIFY(!s.blocks.replace(
            item, {block(0, QStringLiteral("ok")), block(0, QStringLiteral("bad"))}, &error));
        QVERIFY(error.contains(QStringLiteral("refused")));
        QCOMPARE(s.blocks.byItem(item).size(), 3);
        QCOMPARE(s.blocks.byItem(item).first().value, QStringLiteral("b"));
        // The connection is usable afterwards: no transaction was left open.
        QVERIFY(s.blocks.replace(item, {}, &error));
        QCOMPARE(s.blocks.byItem(item).size(), 0);
        QVERIFY(s.database.connection().transaction());
        QVERIFY(s.database.connection().rollback());
    }
};

VELTO_TEST_MAIN_CORE(TestContentBlocks)
#include "tst_contentblocks.moc"
