#include "CompactActionButton.h"
#include "Database.h"
#include "ImportTransaction.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "SearchController.h"
#include "SearchIndex.h"
#include "TextAttachmentWidget.h"

#include <QInputMethodEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>

using namespace velto::test;

namespace {

// The search page's rows split at the heading of the content matches.
struct Found {
    QList<qint64> names;
    QList<qint64> content;
    QStringList tips; // of the content rows
};

} // namespace

class TestMainWindowSearch : public QObject {
    Q_OBJECT

    // Types as an input method does: Chinese text arrives committed, not as key presses.
    static void type(QWidget *edit, const QString &text)
    {
        edit->setFocus();
        QInputMethodEvent event;
        event.setCommitString(text);
        QCoreApplication::sendEvent(edit, &event);
    }

    static QListWidget *results(WindowFixture &f) { return sidebarList(f.window.get(), 2); }

    // Types the text into the search box and presses Return, as the user does.
    static Found search(WindowFixture &f, const QString &text)
    {
        auto *edit = results(f)->parentWidget()->findChild<QLineEdit *>();
        edit->clear();
        type(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
        Found found;
        bool content = false;
        for (int i = 0; i < results(f)->count(); ++i) {
            const QListWidgetItem *row = results(f)->item(i);
            if (row->flags() == Qt::NoItemFlags) {
                content = true;
                continue;
            }
            (content ? found.content : found.names) << row->data(Qt::UserRole).toLongLong();
            if (content)
                found.tips << row->toolTip();
        }
        return found;
    }

    static qint64 create(WindowFixture &f, const QString &name, const QString &remark,
        const QList<ContentBlock> &blocks = {}, qint64 pid = 0)
    {
        DataItem item;
        item.pid = pid;
        item.here = name;
        item.cont = QStringLiteral("-");
        item.remark = remark;
        const qint64 iid = f->service().create(item, nullptr);
        if (iid != 0 && !blocks.isEmpty())
            f->service().replaceContentBlocks(iid, blocks, nullptr);
        return iid;
    }
    static ContentBlock block(int type, const QString &value, const QString &summary = {})
    {
        ContentBlock b;
        b.type = type;
        b.value = value;
        b.summary = summary;
        return b;
    }

private slots:
    void init() { QSettings().clear(); }

    void findsItemsByEveryField()
    {
        WindowFixture f;
        const qint64 note = create(f, QStringLiteral("周报"), {},
            {block(
                ContentBlock::Text, QStringLiteral("<p>季度<b>预算</b>评审 Budget review</p>"))});
        const qint64 remark
            = create(f, QStringLiteral("账单"), QStringLiteral("发票 invoice 100%"));
        const qint64 link = create(f, QStringLiteral("收藏"), {},
            {block(ContentBlock::WebLink, QStringLiteral("https://example.org/forecast"),
                QStringLiteral("天气预报 weather"))});
        const qint64 file = create(f, QStringLiteral("文档"), {},
            {block(ContentBlock::LocalPath, QStringLiteral("/home/u/合同扫描.pdf"))});
        const qint64 named = create(f, QStringLiteral("预算表"), {},
            {block(ContentBlock::Text, QStringLiteral("<p>预算</p>"))}, note);
        f.reload();

        const QList<QPair<QString, qint64>> cases {{QStringLiteral("预算评审"), note},
            {QStringLiteral("审"), note}, {QStringLiteral("budget"), note},
            {QStringLiteral("发票"), remark}, {QStringLiteral("INVOICE"), remark},
            {QStringLiteral("100%"), remark}, {QStringLiteral("天气预"), link},
            {QStringLiteral("example.org"), link}, {QStringLiteral("合同"), file},
            {QStringLiteral("扫描.pdf"), file}};
        for (const auto &[text, iid] : cases) {
            const Found found = search(f, text);
            QVERIFY2(
                found.names.isEmpty() && found.content == QList<qint64> {iid}, qPrintable(text));
            QVERIFY2(found.tips.first().contains(text, Qt::CaseInsensitive), qPrintable(text));
        }
        QCOMPARE(
            f->statusLabel()->text(), QStringLiteral("找到 0 个业务，另有 1 个业务的内容匹配"));
        // Markup is not text; hostile queries are taken literally and find nothing.
        for (const char *text : {"<b>", "\"预算", "预算 OR 天气", "NEAR(a b)", "a*", "\\"})
            QVERIFY2(search(f, QString::fromUtf8(text)).content.isEmpty(), text);

        // A name match is listed once, above; the others follow the heading.
        Found found = search(f, QStringLiteral("预算"));
        QCOMPARE(found.names, QList<qint64> {named});
        QCOMPARE(found.content, QList<qint64> {note});
        QCOMPARE(results(f)->item(1)->text(), QStringLiteral("内容中找到"));
        QVERIFY(!(results(f)->item(1)->flags() & Qt::ItemIsSelectable));

        // Activating a content row jumps to the item like the other search rows.
        QListWidgetItem *row = results(f)->item(2);
        results(f)->setCurrentItem(row);
        results(f)->setFocus();
        QTest::keyClick(results(f), Qt::Key_Return);
        QCOMPARE(f->selectedItem(), note);
        QCOMPARE(currentIid(results(f)), note);

        // The name search itself is unchanged: no heading, the cap, the messages.
        QVERIFY(insertItems(level(120, 0, 1000)));
        f.reload();
        found = search(f, QStringLiteral("项"));
        QCOMPARE(results(f)->count(), 100);
        QCOMPARE(found.names.first(), 1119);
        QCOMPARE(f->statusLabel()->text(), QStringLiteral("找到 100 个业务"));
        search(f, QStringLiteral("  "));
        QCOMPARE(results(f)->count(), 0);
        QCOMPARE(f->statusLabel()->text(), QStringLiteral("已清除搜索结果"));
    }

    void savesCancelsDeletesAndImportsChangeWhatIsFound()
    {
        WindowFixture f;
        const qint64 iid = create(
            f, QStringLiteral("项目"), {}, {block(ContentBlock::Text, QStringLiteral("x"))});
        f.reload();
        f->selectRow(0);

        // A remark and a note saved through the window are found at once.
        type(f.table()->remarkEditor(0), QStringLiteral("蓝莓"));
        auto *text = f->detailPanel()->findChild<TextAttachmentWidget *>();
        QVERIFY(text);
        type(text->textEdit(), QStringLiteral(" cherry樱桃"));
        QTest::mouseClick(f->commandButtons().save, Qt::LeftButton);
        QVERIFY(!f->isDirty());
        QCOMPARE(search(f, QStringLiteral("蓝莓")).content, QList<qint64> {iid});
        QCOMPARE(search(f, QStringLiteral("樱桃")).content, QList<qint64> {iid});

        // A cancelled edit is never found; the saved text still is.
        f->selectRow(0);
        type(f.table()->remarkEditor(0), QStringLiteral("草莓"));
        QTest::mouseClick(f->commandButtons().cancel, Qt::LeftButton);
        QVERIFY(search(f, QStringLiteral("草莓")).content.isEmpty());
        QCOMPARE(search(f, QStringLiteral("蓝莓")).content, QList<qint64> {iid});

        // Deleted: gone from the results.
        f->selectRow(0);
        auto box = answerNextMessageBox({}, QMessageBox::Yes);
        f->deleteSelected();
        QVERIFY(f->levelItems().isEmpty());
        QVERIFY(search(f, QStringLiteral("蓝莓")).content.isEmpty());

        // Imported on another connection while the window is open: found too.
        Database other(QStringLiteral("search-test-import"));
        other.setRootOverride(f.root.path());
        QString error;
        QVERIFY2(other.open(&error), qPrintable(error));
        const QJsonObject entry {{"id", 7}, {"parentId", 0}, {"name", "导入"}, {"content", ""},
            {"remark", ""}, {"favorite", false}, {"description", ""},
            {"blocks", QJsonArray {QJsonObject {{"type", 0}, {"value", "<p>进口的猕猴桃</p>"}}}}};
        ImportTransaction import(&other);
        QVERIFY(import.loadBytes(QJsonDocument(QJsonObject {{"format", "velto-export-v1"},
                                                   {"items", QJsonArray {entry}}})
                                     .toJson(),
                    &error)
            && import.run(&error));
        other.close();
        f.reload();
        QCOMPARE(search(f, QStringLiteral("猕猴桃")).content, QList<qint64> {import.selectedIid()});
        QVERIFY(f->search()->isIndexComplete());
    }

    void droppedIndexIsRebuiltInTheBackground()
    {
        WindowFixture f;
        // The index's work runs at a low priority: a busy machine gives it little of the processor.
        QTRY_VERIFY2_WITH_TIMEOUT(
            !f->search()->isBuilding(), "the index's check at start-up never ended", 60000);
        QVERIFY(insertItems(level(30)));
        QSqlQuery(WindowFixture::db())
            .exec(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                 "summary) VALUES (17, 1, 0, '<p>迟来的索引</p>', '')"));
        QVERIFY(SearchIndex::reset(WindowFixture::db(), nullptr));
        f.reload();
        QVERIFY(search(f, QStringLiteral("迟来的")).content.isEmpty());
        QVERIFY(f->statusLabel()->text().contains(QStringLiteral("全文索引尚在建立")));
        f->search()->startIndexBuild();
        QTRY_VERIFY2_WITH_TIMEOUT(
            !f->search()->isBuilding(), "the rebuild of the index never ended", 60000);
        QVERIFY(f->search()->isIndexComplete());
        QVERIFY(!f->search()->progressLabel()->isVisible());
        QCOMPARE(search(f, QStringLiteral("迟来的")).content, QList<qint64> {17});
        QCOMPARE(
            f->statusLabel()->text(), QStringLiteral("找到 0 个业务，另有 1 个业务的内容匹配"));
    }
};

QTEST_MAIN(TestMainWindowSearch)
#include "tst_mainwindow_search.moc"
