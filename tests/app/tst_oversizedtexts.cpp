#include "DisplayText.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "MainWindowTestSupport.h"
#include "TestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTableWidget>
#include <QTreeWidget>

using namespace velto::test;

// An item whose texts are absurdly long (a damaged or hostile import) is shown bounded on one
// line everywhere, and the stored texts stay as they are.
class TestOversizedTexts : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void oneLineIsBoundedAndNeverSplitsAPair()
    {
        using DisplayText::oneLine;
        QCOMPARE(oneLine(QStringLiteral("a\nb\tc\u2028d")), QStringLiteral("a b c d"));
        QCOMPARE(oneLine(QStringLiteral("短")), QStringLiteral("短"));
        QCOMPARE(oneLine(QStringLiteral("abcdef"), 4), QStringLiteral("abc…"));
        QCOMPARE(oneLine(QStringLiteral("abcd"), 4), QStringLiteral("abcd"));
        // U+1F600 is two UTF-16 units: cut before it, not through it.
        QCOMPARE(oneLine(QStringLiteral("ab\U0001F600cd"), 4), QStringLiteral("ab…"));
        QCOMPARE(DisplayText::bounded(QStringLiteral("a\nbcdef"), 4), QStringLiteral("a\nb…"));
        QCOMPARE(oneLine(QString(2000000, QLatin1Char('x'))).size(), DisplayText::lineChars);
    }

    void hugeItemIsShownBounded()
    {
        const QString huge = QStringLiteral("巨") + QString(2000000, QLatin1Char('n'));
        QSettings().setValue(QStringLiteral("navigation/collapsed"), false);
        WindowFixture f;
        QList<DataItem> items = level(2);
        items[1].here = huge;
        items[1].cont = huge;
        items[1].favorite = true;
        QVERIFY(insertItems(items));
        ContentBlock link;
        link.type = ContentBlock::WebLink;
        link.value = QStringLiteral("https://example.invalid/");
        link.summary = huge;
        QVERIFY(f->service().replaceContentBlocks(2, {link}, nullptr));
        f.reload();
        const int width = f->statusBar()->width();
        f->selectRow(1);
        f.settle();

        const QLabel *status = f->statusLabel();
        QVERIFY(status->text().startsWith(QStringLiteral("已选择业务：巨nnn")));
        QVERIFY(status->text().size() <= DisplayText::lineChars + 10);
        QVERIFY(status->minimumSizeHint().width() < width / 2); // the bar keeps its shape
        QCOMPARE(f->statusBar()->width(), width);

        const QListWidget *common = sidebarList(f.window.get(), 0);
        QCOMPARE(listIids(common), QList<qint64>({2}));
        QCOMPARE(common->item(0)->text().size(), DisplayText::lineChars);
        QVERIFY(common->item(0)->toolTip().size() <= DisplayText::toolTipChars);
        const auto *tree = f->navigation()->findChild<QTreeWidget *>();
        QCOMPARE(tree->topLevelItem(1)->text(0).size(), DisplayText::lineChars);
        QVERIFY(tree->topLevelItem(1)->toolTip(0).size() <= DisplayText::toolTipChars);
        const QTableWidget *resources = f->detailPanel()->resourceTable();
        QCOMPARE(resources->rowCount(), 1);
        QCOMPARE(resources->item(0, 1)->text().size(), DisplayText::lineChars);

        // The row shows the start, read-only; nothing of it is lost, not even by a save.
        QLineEdit *name = f.table()->nameEditor(1);
        QVERIFY(name->isReadOnly() && !name->toolTip().isEmpty());
        QCOMPARE(name->text().size(), DisplayText::lineChars);
        QCOMPARE(ItemTable::fieldText(name), huge);
        QCOMPARE(f->detailPanel()->contentBlocks().value(0).summary, huge);
        QVERIFY(!f->isDirty());
        QTest::keyClicks(f.table()->remarkEditor(1), QStringLiteral("x"));
        QVERIFY(f->isDirty());
        f->saveCurrent();
        QVERIFY(!f->isDirty());
        const DataItem stored = f->repository().get(2);
        QCOMPARE(stored.here, huge);
        QCOMPARE(stored.cont, huge);
        QCOMPARE(stored.remark, QStringLiteral("x"));
        QCOMPARE(f->service().contentBlocks(2).value(0).summary, huge);
        QVERIFY(f.table()->nameEditor(1)->isReadOnly());
        // The level is rendered again in place after the save; a second save still keeps it whole.
        QCOMPARE(ItemTable::fieldText(f.table()->nameEditor(1)), huge);
        QTest::keyClick(f.table()->remarkEditor(1), Qt::Key_End);
        QTest::keyClicks(f.table()->remarkEditor(1), QStringLiteral("y"));
        f->saveCurrent();
        QVERIFY(!f->isDirty());
        QCOMPARE(f->repository().get(2).here, huge);
        QCOMPARE(f->repository().get(2).remark, QStringLiteral("xy"));
    }
};

VELTO_TEST_MAIN(TestOversizedTexts)
#include "tst_oversizedtexts.moc"
