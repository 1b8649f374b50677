#include "TestSupport.h"

#include "ItemDetailPanelTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>

using namespace paneltest;

namespace {

// A thousand resources of every kind and rule: notes with markup and titles, files, folders by
// marker and by disk, titled folders, links with comments and summaries, blank locations (left
// out of the blocks) and a block of an unknown type (no resource at all).
QList<ContentBlock> manyBlocks(const QString &folder)
{
    QList<ContentBlock> blocks;
    for (int i = 0; i < 1111; ++i) {
        const QString n = QString::number(i);
        switch (i % 10) {
        case 0:
            blocks << textBlock(QStringLiteral("note ") + n);
            break;
        case 1: {
            ContentBlock rich
                = textBlock(QString(), i % 20 == 1 ? QStringLiteral(" 标题 ") : QString());
            rich.value = QStringLiteral("<b>粗体 %1</b><ul><li>a</li><li>b</li></ul>").arg(i);
            blocks << rich;
            break;
        }
        case 2:
            blocks << pathBlock(QStringLiteral("  /nonexistent/velto/file-%1.pdf ").arg(i));
            break;
        case 3:
            blocks << pathBlock(
                QStringLiteral("/nonexistent/velto/dir-") + n, QStringLiteral("folder"));
            break;
        case 4:
            blocks << pathBlock(folder, i % 20 == 4 ? QString() : QStringLiteral("合同"));
            break;
        case 5:
            blocks << linkBlock(QStringLiteral("https://a.test/") + n + QStringLiteral(" 注释"),
                QStringLiteral(" 摘要 ") + n);
            break;
        case 6:
            blocks << linkBlock(
                i % 20 == 6 ? QStringLiteral("   ") : QStringLiteral("https://b.test/"));
            break;
        case 7:
            blocks << pathBlock(
                i % 20 == 7 ? QString() : QStringLiteral("/tmp/picture-%1.PNG").arg(i));
            break;
        case 8: {
            ContentBlock unknown = textBlock(n);
            unknown.type = 3;
            blocks << unknown;
            break;
        }
        default:
            blocks << textBlock(QString(), QStringLiteral("空"));
            break;
        }
    }
    return blocks;
}

// The resource that block i of manyBlocks() becomes: every tenth block makes none.
int frameOf(int block)
{
    return block - (block + 1) / 10;
}

QStringList asText(const QList<ContentBlock> &blocks)
{
    QStringList lines;
    for (const ContentBlock &block : blocks)
        lines << QStringLiteral("%1|%2|%3").arg(block.type).arg(block.value, block.summary);
    return lines;
}

// Clicks into a note's editor and types at the end of its text.
void typeAtEnd(TextAttachmentWidget *note, const QString &text)
{
    note->editAt(note->textEdit()->document()->characterCount());
    settle();
    QTest::keyClicks(note->textEdit(), text);
}

QScrollBar *scrollBar(const PanelWindow &w)
{
    return w.panel->resourceScrollArea()->verticalScrollBar();
}

} // namespace

class ItemDetailPanelLazyTest : public QObject {
    Q_OBJECT

private slots:
    void unbuiltResourcesReadAsBuiltOnes();
    void editingDeepInTheListAfterScrolling();
    void pagesBelowAreBuiltAheadWhileIdle();
    void choosingAnUnbuiltResourceInTheListBuildsIt();
    void shownStateComparesAsItsSignature();
};

// The signature, the blocks and the notes' text of a workspace whose resources are mostly
// unbuilt are those of the same workspace with every widget built.
void ItemDetailPanelLazyTest::unbuiltResourcesReadAsBuiltOnes()
{
    QTemporaryDir dir;
    PanelWindow w;
    QVERIFY(w.ready());
    const QList<ContentBlock> blocks = manyBlocks(dir.path());
    w.panel->setContentBlocks(blocks);
    settle();
    QCOMPARE(w.count(), 1000);
    QVERIFY2(w.panel->builtResourceCount() < 100,
        qPrintable(QString::number(w.panel->builtResourceCount())));
    // An unbuilt resource has no widget of its own.
    QVERIFY(w.panel->resourceScrollArea()->widget()->findChildren<ResourceFrame *>().size() < 100);
    const QString signature = w.panel->contentSignature();
    const QStringList saved = asText(w.panel->contentBlocks());
    const QString detail = w.panel->detail();

    // The list numbers and names every resource, built or not.
    QTableWidget *list = w.panel->resourceTable();
    QCOMPARE(list->rowCount(), 1000);
    QVERIFY(!w.built(frameOf(502)));
    QCOMPARE(list->item(999, 0)->text(), QStringLiteral("1000"));
    QCOMPARE(list->item(frameOf(502), 1)->text(), QStringLiteral("file-502.pdf"));
    QCOMPARE(list->item(frameOf(503), 1)->text(), QStringLiteral("dir-503"));
    QCOMPARE(list->item(frameOf(514), 1)->text(), QStringLiteral("合同"));
    QCOMPARE(list->item(frameOf(505), 1)->text(), QStringLiteral(" 摘要 505"));
    QCOMPARE(list->item(frameOf(524), 1)->text(), QFileInfo(dir.path()).fileName());

    for (int i = 0; i < w.count(); ++i)
        QVERIFY(w.content(i));
    QCOMPARE(w.panel->builtResourceCount(), 1000);
    QCOMPARE(asText(w.panel->contentBlocks()), saved);
    QCOMPARE(w.panel->contentSignature(), signature);
    QCOMPARE(w.panel->detail(), detail);
    QVERIFY(w.file(frameOf(524))->isFolder()); // an existing folder without a summary
    QVERIFY(!w.file(frameOf(514))->isFolder()); // a title makes it a file
}

// Scrolling builds the resources coming into view; one of them, far down, is edited like any
// other, and the edit survives switching to another item and back.
void ItemDetailPanelLazyTest::editingDeepInTheListAfterScrolling()
{
    QTemporaryDir dir;
    PanelWindow w;
    QVERIFY(w.ready());
    const QList<ContentBlock> blocks = manyBlocks(dir.path());
    w.panel->activateWorkspace(1, blocks);
    settle();
    const QString before = w.panel->contentSignature();
    const QStringList savedBefore = asText(w.panel->contentBlocks());
    const int deep = frameOf(1100); // a note near the end
    QVERIFY(!w.built(deep));

    w.panel->setContentEditable(false);
    for (int step = 0; step < 200 && !w.built(deep); ++step) {
        scrollBar(w)->setValue(scrollBar(w)->maximum());
        settle();
    }
    auto *note = qobject_cast<TextAttachmentWidget *>(w.built(deep));
    QVERIFY2(note, "scrolling to the end never built the note near it");
    QVERIFY(note->textEdit()->isReadOnly()); // built under the panel's current state
    QVERIFY(w.panel->builtResourceCount() < 300);
    QCOMPARE(w.panel->contentSignature(), before);

    w.panel->setContentEditable(true);
    QVERIFY(!note->textEdit()->isReadOnly());
    typeAtEnd(note, QStringLiteral("deep edit"));
    settle();
    const QString edited = w.panel->contentSignature();
    QVERIFY(edited != before);
    // Only that note's block changed.
    const QStringList savedAfter = asText(w.panel->contentBlocks());
    QCOMPARE(savedAfter.size(), savedBefore.size());
    QStringList changed;
    for (int i = 0; i < savedAfter.size(); ++i) {
        if (savedAfter.at(i) != savedBefore.at(i))
            changed << savedAfter.at(i);
    }
    QCOMPARE(changed.size(), 1);
    QVERIFY(changed.first().contains(QStringLiteral("deep edit")));

    w.panel->activateWorkspace(2, {textBlock(QStringLiteral("other"))});
    settle();
    w.panel->activateWorkspace(1, blocks);
    settle();
    QCOMPARE(w.count(), 1000);
    QCOMPARE(w.panel->contentSignature(), edited);
}

// Once the user stays on an item, the next pages are built while nothing else happens, so that a
// page down finds its frames ready; the end of the list stays unbuilt.
void ItemDetailPanelLazyTest::pagesBelowAreBuiltAheadWhileIdle()
{
    QTemporaryDir dir;
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->activateWorkspace(1, manyBlocks(dir.path()));
    settle();
    const QString signature = w.panel->contentSignature();
    const int shown = w.panel->builtResourceCount();
    QVERIFY(!w.built(shown + 5));
    QVERIFY(w.panel->isPreparing());
    // Once the idle work is done, a page down has nothing left to build on the way.
    QVERIFY2(QTest::qWaitFor([&] { return !w.panel->isPreparing(); }, 60000),
        "the idle work after showing the item never ended");
    QVERIFY2(w.built(shown + 5), "the resources under the view were not built ahead");
    const int ahead = w.panel->builtResourceCount();
    QVERIFY2(ahead < 300, qPrintable(QString::number(ahead)));
    QVERIFY(!w.built(frameOf(1100)));
    scrollBar(w)->setValue(scrollBar(w)->pageStep());
    settle();
    QCOMPARE(w.panel->builtResourceCount(), ahead);
    QCOMPARE(w.panel->contentSignature(), signature);
}

// Choosing an unbuilt resource, in the list or by the keyboard, builds it, selects it and shows it.
void ItemDetailPanelLazyTest::choosingAnUnbuiltResourceInTheListBuildsIt()
{
    QTemporaryDir dir;
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks(manyBlocks(dir.path()));
    settle();
    QTableWidget *list = w.panel->resourceTable();
    const int row = 500;
    QVERIFY(!w.built(row));
    list->scrollToItem(list->item(row, 0));
    settle();
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    settle();
    QWidget *chosen = w.built(row);
    QVERIFY2(chosen, "choosing the row did not build its resource");
    QCOMPARE(w.panel->selectedResource(), chosen);
    QVERIFY(w.panel->resourceFrames().at(row)->isSelected());
    QVERIFY(!chosen->visibleRegion().isEmpty());
    QCOMPARE(list->currentRow(), row);

    // By keyboard: Enter on the list goes to the chosen frame; its arrows and End choose others,
    // built when they were not, selected, focused and shown; a key typed on a note edits it.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(QApplication::focusWidget(), w.panel->resourceFrames().at(row));
    const int last = w.count() - 1;
    QVERIFY(!w.built(last - 1));
    const auto expectFocusOn = [&](int target) {
        ResourceFrame *frame = w.panel->resourceFrames().at(target);
        QVERIFY2(frame->content, qPrintable(QStringLiteral("frame %1 not built").arg(target)));
        QCOMPARE(QApplication::focusWidget(), frame);
        QCOMPARE(w.panel->selectedResource(), frame->content);
        QCOMPARE(list->currentRow(), target);
        QTRY_VERIFY(!frame->content->visibleRegion().isEmpty());
    };
    for (int step = 1; step <= 3; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        settle();
    }
    expectFocusOn(row + 3);
    if (QTest::currentTestFailed())
        return;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    settle();
    expectFocusOn(last);
    if (QTest::currentTestFailed())
        return;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    settle();
    expectFocusOn(last - 1);
    if (QTest::currentTestFailed())
        return;
    auto *note = qobject_cast<TextAttachmentWidget *>(w.built(last - 1));
    QVERIFY(note);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("q"));
    QCOMPARE(QApplication::focusWidget(), note->textEdit());
    QVERIFY2(note->plainText().startsWith(QLatin1Char('q')), qPrintable(note->plainText()));
}

// The state taken when an item is shown, its notes' HTML not made yet, compares with later states
// as their signatures would, and its text is the signature the built widgets give.
void ItemDetailPanelLazyTest::shownStateComparesAsItsSignature()
{
    QTemporaryDir dir;
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->activateWorkspace(1, manyBlocks(dir.path()));
    const ContentState shown = w.panel->contentState();
    settle();
    QVERIFY(w.panel->contentState() == shown);

    // A name given to an unbuilt note, then its default name again.
    const int row = frameOf(600);
    QVERIFY(!w.built(row));
    QTableWidgetItem *name = w.panel->resourceTable()->item(row, 1);
    name->setText(QStringLiteral("改名"));
    QVERIFY(w.panel->contentState() != shown);
    QVERIFY(w.panel->contentSignature().contains(QStringLiteral("改名")));
    // The name stays with the unbuilt note while another item is shown.
    w.panel->activateWorkspace(2, {textBlock(QStringLiteral("other"))});
    w.panel->activateWorkspace(1, {});
    QVERIFY(!w.built(row));
    name = w.panel->resourceTable()->item(row, 1);
    QCOMPARE(name->text(), QStringLiteral("改名"));
    QVERIFY(w.panel->contentSignature().contains(QStringLiteral("改名")));
    name->setText(QStringLiteral("  "));
    QVERIFY(w.panel->contentState() == shown);

    // Built, every resource reads as its unbuilt self did.
    for (int i = 0; i < w.count(); ++i)
        QVERIFY(w.content(i));
    QVERIFY(w.panel->contentState() == shown);
    QCOMPARE(shown.signature(), w.panel->contentSignature());

    typeAtEnd(w.text(row), QStringLiteral("x"));
    QVERIFY(w.panel->contentState() != shown);
}

VELTO_TEST_MAIN(ItemDetailPanelLazyTest)
#include "tst_itemdetailpanel_lazy.moc"
