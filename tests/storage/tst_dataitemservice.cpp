#include "StorageFixture.h"
#include "TestSupport.h"

namespace {
const QString required = QStringLiteral("“这里”和“内容”都不能为空。");
const QString noItem = QStringLiteral("没有选中有效的数据项。");
} // namespace

class TestDataItemService : public QObject {
    Q_OBJECT

private slots:
    void createAndSaveValidate()
    {
        EmptyStorage s;
        QString error;
        DataItem item;
        item.here = QStringLiteral("  名字  ");
        item.cont = QStringLiteral("\t内容 ");
        item.remark = QStringLiteral(" 备注 ");
        item.desc = QStringLiteral(" kept ");
        const qint64 iid = s.service.create(item, &error);
        QVERIFY2(iid == 1, qPrintable(error));
        DataItem stored = s.items.get(iid);
        QCOMPARE(stored.here, QStringLiteral("名字"));
        QCOMPARE(stored.cont, QStringLiteral("内容"));
        QCOMPARE(stored.remark, QStringLiteral("备注"));
        QCOMPARE(stored.desc, QStringLiteral(" kept "));

        item.here = QStringLiteral("   ");
        QCOMPARE(s.service.create(item, &error), 0);
        QCOMPARE(error, required);
        item.here = QStringLiteral("x");
        item.pid = -1;
        QCOMPARE(s.service.create(item, &error), 0);
        QCOMPARE(error, QStringLiteral("上级数据项无效。"));
        QCOMPARE(s.items.allItems().size(), 1); // refusals write nothing

        DataItem edit = stored;
        edit.iid = 0;
        QVERIFY(!s.service.save(edit, &error));
        QCOMPARE(error, QStringLiteral("要保存的数据项没有有效 ID。"));
        edit.iid = iid;
        edit.cont = QString();
        QVERIFY(!s.service.save(edit, &error));
        QCOMPARE(error, required);
        edit.cont = QStringLiteral("新内容 ");
        edit.pid = iid;
        QVERIFY(!s.service.save(edit, &error));
        QCOMPARE(error, QStringLiteral("数据项不能成为自己的上级。"));
        edit.pid = 0;
        edit.sortid = 0;
        QVERIFY2(s.service.save(edit, &error), qPrintable(error));
        QCOMPARE(s.items.get(iid).cont, QStringLiteral("新内容"));
        QCOMPARE(s.items.get(iid).sortid, 1);
        QString untouched = QStringLiteral("unchanged");
        QVERIFY(!s.service.recordRecent(0, &untouched));
        QCOMPARE(untouched, QStringLiteral("unchanged"));
    }

    void positionsStayDense()
    {
        EmptyStorage s;
        const qint64 a = s.add(QStringLiteral("a"));
        const qint64 b = s.add(QStringLiteral("b"));
        const qint64 c = s.add(QStringLiteral("c"));
        const qint64 inserted = s.add(QStringLiteral("new"), 0, 2);
        QCOMPARE(s.level(0),
            QStringList({QStringLiteral("%1:1").arg(a), QStringLiteral("%1:2").arg(inserted),
                QStringLiteral("%1:3").arg(b), QStringLiteral("%1:4").arg(c)}));
        QString error;
        QVERIFY2(s.service.erase(inserted, &error), qPrintable(error));
        QCOMPARE(s.level(0).size(), 3);
        QVERIFY(s.service.erase(b, &error)); // the middle of three
        QCOMPARE(s.level(0),
            QStringList({QStringLiteral("%1:1").arg(a), QStringLiteral("%1:2").arg(c)}));

        QVERIFY(!s.service.move(a, -1, &error));
        QCOMPARE(error, QStringLiteral("已经到达该层级的边界。"));
        QVERIFY(!s.service.move(c, 1, &error));
        QCOMPARE(error, QStringLiteral("已经到达该层级的边界。"));
        QVERIFY(!s.service.move(a, 2, &error));
        QCOMPARE(error, QStringLiteral("移动目标无效。"));
        QVERIFY(!s.service.move(0, 1, &error));
        QCOMPARE(error, QStringLiteral("移动目标无效。"));
        QVERIFY(!s.service.move(77, 1, &error));
        QCOMPARE(error, noItem);
        QVERIFY(s.service.move(a, 1, &error));
        QCOMPARE(s.level(0),
            QStringList({QStringLiteral("%1:1").arg(c), QStringLiteral("%1:2").arg(a)}));
    }

    void eraseRefusesAndCascades()
    {
        EmptyStorage s;
        QString error;
        const qint64 parent = s.add(QStringLiteral("parent"));
        const qint64 child = s.add(QStringLiteral("child"), parent);
        QVERIFY(!s.service.erase(parent, &error));
        QCOMPARE(error, QStringLiteral("这个数据项还有子项，暂时不能删除。"));
        QVERIFY(!s.service.erase(0, &error));
        QCOMPARE(error, noItem);
        QVERIFY(!s.service.erase(999, &error));
        QCOMPARE(error, noItem);

        ContentBlock block;
        block.type = ContentBlock::Text;
        block.value = QStringLiteral("<p>x</p>");
        QVERIFY(s.service.replaceContentBlocks(child, {block, block}, &error));
        QVERIFY(s.service.addAttachment(
            child, AttachmentType::Url, QStringLiteral("https://example.org/a"), &error));
        QVERIFY(s.service.recordRecent(child, &error));
        QVERIFY2(s.service.erase(child, &error), qPrintable(error));
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks")), 0);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM attachments")), 0);
        QCOMPARE(s.scalar(QStringLiteral("SELECT COUNT(*) FROM recent_items")), 0);
        QVERIFY(s.service.erase(parent, &error));
    }

    void moveToParentGuardsTheTree()
    {
        EmptyStorage s;
        QString error;
        const qint64 top = s.add(QStringLiteral("top"));
        const qint64 mid = s.add(QStringLiteral("mid"), top);
        const qint64 leaf = s.add(QStringLiteral("leaf"), mid);
        const qint64 other = s.add(QStringLiteral("other"));
        const qint64 sibling = s.add(QStringLiteral("sibling"), top);

        QVERIFY(!s.service.moveToParent(top, top, &error));
        QCOMPARE(error, QStringLiteral("不能移动到自身下面。"));
        QVERIFY(!s.service.moveToParent(top, leaf, &error));
        QCOMPARE(error, QStringLiteral("不能移动到自己的分支下面。"));
        QVERIFY(!s.service.moveToParent(top, 555, &error));
        QCOMPARE(error, QStringLiteral("目标层级不存在。"));
        QVERIFY(!s.service.moveToParent(555, 0, &error));
        QCOMPARE(error, noItem);

        // A parent chain that loops (a hand-written file) is refused instead of walked for ever.
        s.sql(QStringLiteral("UPDATE data_items SET pid = %1 WHERE iid = %2")
                  .arg(sibling)
                  .arg(other));
        s.sql(QStringLiteral("UPDATE data_items SET pid = %1 WHERE iid = %2")
                  .arg(other)
                  .arg(sibling));
        QVERIFY(!s.service.moveToParent(leaf, other, &error));
        QCOMPARE(error, QStringLiteral("目标层级不存在。"));
        s.sql(QStringLiteral("UPDATE data_items SET pid = 0 WHERE iid = %1").arg(other));
        s.sql(
            QStringLiteral("UPDATE data_items SET pid = %1 WHERE iid = %2").arg(top).arg(sibling));

        QVERIFY2(s.service.moveToParent(mid, 0, &error), qPrintable(error));
        QCOMPARE(s.items.get(mid).pid, 0);
        QCOMPARE(s.level(0).last(), QStringLiteral("%1:3").arg(mid)); // lands last
        QCOMPARE(s.level(top), QStringList({QStringLiteral("%1:1").arg(sibling)}));
        QVERIFY(s.service.moveToParent(top, other, &error));
        QCOMPARE(s.items.get(top).pid, other);
        QCOMPARE(s.level(0),
            QStringList({QStringLiteral("%1:1").arg(other), QStringLiteral("%1:2").arg(mid)}));
        // Moving to the present parent places the item last.
        const qint64 second = s.add(QStringLiteral("second"), other);
        QVERIFY(s.service.moveToParent(top, other, &error));
        QCOMPARE(s.level(other),
            QStringList({QStringLiteral("%1:1").arg(second), QStringLiteral("%1:2").arg(top)}));
    }

    void attachmentsDeriveDisplayNames()
    {
        EmptyStorage s;
        QString error;
        const qint64 item = s.add(QStringLiteral("item"));
        QVERIFY(!s.service.addAttachment(0, AttachmentType::File, QStringLiteral("/x"), &error));
        QCOMPARE(error, QStringLiteral("附件信息无效。"));
        QVERIFY(!s.service.addAttachment(item, AttachmentType::File, QStringLiteral("  "), &error));
        QCOMPARE(error, QStringLiteral("附件信息无效。"));
        QVERIFY(!s.service.removeAttachment(0, &error));
        QCOMPARE(error, QStringLiteral("没有选中有效附件。"));
        QVERIFY(!s.service.addAttachment(999, AttachmentType::File, QStringLiteral("/x"), &error));
        QVERIFY(!error.isEmpty()); // the foreign key refuses a missing item

        QVERIFY(s.service.addAttachment(item, AttachmentType::Url,
            QStringLiteral("https://docs.example.com:8443/a/b?q=1"), &error));
        QVERIFY(s.service.addAttachment(
            item, AttachmentType::File, QStringLiteral("/home/me/Projects"), &error));
        QVERIFY(s.service.addAttachment(
            item, AttachmentType::Url, QStringLiteral("just words"), &error));
        const QList<Attachment> list = s.service.attachments(item);
        QCOMPARE(list.size(), 3);
        QCOMPARE(list.at(0).displayName, QStringLiteral("docs.example.com"));
        QCOMPARE(list.at(1).displayName, QStringLiteral("Projects"));
        QCOMPARE(list.at(2).displayName, QStringLiteral("just words"));
        QCOMPARE(list.at(2).sortid, 3);
        QVERIFY(s.service.removeAttachment(list.at(1).id, &error));
        QVERIFY(s.service.removeAttachment(12345, &error)); // missing id: no error
        QCOMPARE(s.service.attachments(item).size(), 2);
    }
};

VELTO_TEST_MAIN_CORE(TestDataItemService)
#include "tst_dataitemservice.moc"
