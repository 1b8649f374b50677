#include "TestSupport.h"

#include "ItemDetailPanelTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>

using namespace paneltest;

namespace {

void clickCell(QTableWidget *list, int row, int column)
{
    const QRect rect = list->visualRect(list->model()->index(row, column));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

// Clicks into a note's editor and types at the end of its text.
void typeAtEnd(TextAttachmentWidget *note, const QString &text)
{
    note->editAt(note->textEdit()->document()->characterCount());
    settle();
    QTest::keyClicks(note->textEdit(), text);
}

// Replaces the text of a location field the way a user does, ending with Enter.
void retypeLocation(QWidget *resource, const QString &text)
{
    auto *field = resource->findChild<QLineEdit *>();
    QVERIFY(field);
    field->setFocus();
    field->selectAll();
    if (text.isEmpty())
        QTest::keyClick(field, Qt::Key_Delete);
    else
        QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

QString referenceSignature(const QList<ContentBlock> &blocks)
{
    QJsonArray array;
    for (const ContentBlock &block : blocks)
        array.append(contentBlockObject(block));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace

class ItemDetailPanelWorkspaceTest : public QObject {
    Q_OBJECT

private slots:
    void switchingItemsKeepsTextCursorAndUndo();
    void draftsAreNeverCached();
    void clearingAndEmptyingWorkspaces();
    void blocksRoundTrip();
    void folderMarkerAndTitles();
    void linkSummaryAndTitle();
    void signatureFollowsContentOnly();
    void signatureMatchesJsonDocument();
    void detailJoinsNonEmptyNotes();
};

void ItemDetailPanelWorkspaceTest::switchingItemsKeepsTextCursorAndUndo()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->activateWorkspace(1, {textBlock(QStringLiteral("alpha"))});
    QCOMPARE(w.panel->currentWorkspace(), 1);
    QPointer<TextAttachmentWidget> noteA = w.text(0);
    typeAtEnd(noteA, QStringLiteral("XYZ"));
    QTextCursor cursor = noteA->textEdit()->textCursor();
    cursor.setPosition(3);
    noteA->textEdit()->setTextCursor(cursor);
    const QString dirtyA = w.panel->contentSignature();

    // Re-activating the item on screen keeps its unsaved text, whatever blocks are passed.
    w.panel->activateWorkspace(1, {textBlock(QStringLiteral("stored"))});
    QCOMPARE(w.text(0), noteA.data());
    QCOMPARE(noteA->plainText(), QStringLiteral("alphaXYZ"));

    w.panel->activateWorkspace(2,
        {textBlock(QStringLiteral("beta")), linkBlock(QStringLiteral("https://example.invalid/"))});
    settle();
    QCOMPARE(w.count(), 2);
    QVERIFY(noteA);
    QVERIFY(noteA->isHidden() || !noteA->isVisible());
    QCOMPARE(w.text(0)->plainText(), QStringLiteral("beta"));
    QVERIFY(w.panel->hasCachedWorkspace(1));
    QCOMPARE(w.panel->resourceTable()->rowCount(), 2);

    w.panel->activateWorkspace(1, {textBlock(QStringLiteral("stored"))});
    settle();
    QCOMPARE(w.count(), 1);
    QCOMPARE(w.text(0), noteA.data());
    QVERIFY(noteA->isVisible());
    QCOMPARE(noteA->plainText(), QStringLiteral("alphaXYZ"));
    QCOMPARE(noteA->textEdit()->textCursor().position(), 3);
    QCOMPARE(w.panel->contentSignature(), dirtyA);
    QCOMPARE(w.panel->selectedResource(), noteA.data());
    QVERIFY(w.panel->resourceSelectionActive());

    // The undo history came back with the widget.
    QVERIFY(noteA->textEdit()->document()->isUndoAvailable());
    noteA->textEdit()->setFocus();
    QTest::keyClick(noteA->textEdit(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(noteA->plainText(), QStringLiteral("alpha"));
}

void ItemDetailPanelWorkspaceTest::draftsAreNeverCached()
{
    PanelWindow w;
    QVERIFY(w.ready());
    // The note of a fresh panel belongs to no item and is discarded on the first activation.
    QPointer<QWidget> startNote = w.content(0);
    w.panel->activateWorkspace(5, {textBlock(QStringLiteral("five"))});
    settle();
    QVERIFY(startNote.isNull());
    QPointer<QWidget> five = w.content(0);

    w.panel->activateWorkspace(0, {textBlock(QStringLiteral("draft"))});
    QCOMPARE(w.text(0)->plainText(), QStringLiteral("draft"));
    QPointer<TextAttachmentWidget> draft = w.text(0);
    typeAtEnd(draft, QStringLiteral("!"));

    w.panel->activateWorkspace(5, {});
    settle();
    QVERIFY(draft.isNull());
    QVERIFY(!w.panel->hasCachedWorkspace(0));
    QCOMPARE(w.content(0), five.data());

    // A draft is always built from the blocks given.
    w.panel->activateWorkspace(0, {textBlock(QStringLiteral("draft"))});
    QCOMPARE(w.text(0)->plainText(), QStringLiteral("draft"));
    QVERIFY(w.content(0) != five.data());

    // Cancelling the draft and going back shows exactly the item's cached resources.
    w.panel->setContentBlocks({});
    w.panel->activateWorkspace(5, {textBlock(QStringLiteral("ignored"))});
    QCOMPARE(w.count(), 1);
    QCOMPARE(w.content(0), five.data());
}

void ItemDetailPanelWorkspaceTest::clearingAndEmptyingWorkspaces()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->activateWorkspace(1, {textBlock(QStringLiteral("one"))});
    QPointer<QWidget> one = w.content(0);
    w.panel->activateWorkspace(2, {textBlock(QStringLiteral("two"))});
    QPointer<QWidget> two = w.content(0);

    // Deleting an item that is not shown drops its hidden frames.
    w.panel->clearWorkspace(1);
    settle();
    QVERIFY(one.isNull());
    QVERIFY(!w.panel->hasCachedWorkspace(1));
    QCOMPARE(w.content(0), two.data());

    // Deleting the shown item empties the workspace.
    w.panel->clearWorkspace(2);
    settle();
    QVERIFY(two.isNull());
    QCOMPARE(w.count(), 0);
    QCOMPARE(w.panel->currentWorkspace(), 0);
    QCOMPARE(w.panel->resourceTable()->rowCount(), 0);
    QVERIFY(!w.panel->hasCachedWorkspace(2));

    // An item whose last resource was removed is built from its blocks next time.
    w.panel->activateWorkspace(3, {textBlock(QStringLiteral("three"))});
    clickCell(w.panel->resourceTable(), 0, 0);
    QVERIFY(w.panel->removeSelectedResource());
    QVERIFY(!w.panel->hasCachedWorkspace(3));
    w.panel->activateWorkspace(4, {});
    QCOMPARE(w.count(), 1); // an empty item offers one empty note
    QVERIFY(w.text(0)->plainText().isEmpty());
    w.panel->activateWorkspace(3, {textBlock(QStringLiteral("reloaded"))});
    QCOMPARE(w.text(0)->plainText(), QStringLiteral("reloaded"));
}

void ItemDetailPanelWorkspaceTest::blocksRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("plan.docx"));
    QFile(file).open(QIODevice::WriteOnly);

    PanelWindow w;
    QVERIFY(w.ready());
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);

    // No blocks: one empty note, which saves as one text block.
    w.panel->setContentBlocks({});
    QCOMPARE(w.count(), 1);
    QList<ContentBlock> saved = w.panel->contentBlocks();
    QCOMPARE(saved.size(), 1);
    QCOMPARE(saved.at(0).type, int(ContentBlock::Text));
    QVERIFY(saved.at(0).value.contains(QStringLiteral("<html>")));
    QVERIFY(!w.panel->resourceSelectionActive());

    ContentBlock unknown;
    unknown.type = 7;
    unknown.value = QStringLiteral("ignored");
    w.panel->setContentBlocks({textBlock(QStringLiteral("note")), unknown, pathBlock(file),
        linkBlock(QStringLiteral("https://example.invalid/a"))});
    QCOMPARE(changed.count(), 0); // loading is silent
    QCOMPARE(w.count(), 3);
    saved = w.panel->contentBlocks();
    QCOMPARE(saved.size(), 3);
    QCOMPARE(saved.at(0).type, int(ContentBlock::Text));
    QVERIFY(saved.at(0).value.contains(QStringLiteral(">note<")));
    QCOMPARE(saved.at(1).type, int(ContentBlock::LocalPath));
    QCOMPARE(saved.at(1).value, file);
    QCOMPARE(saved.at(1).summary, QString());
    QCOMPARE(saved.at(2).type, int(ContentBlock::WebLink));
    QCOMPARE(saved.at(2).value, QStringLiteral("https://example.invalid/a"));

    // A workspace without a note stays without one.
    w.panel->setContentBlocks({pathBlock(file)});
    QCOMPARE(w.count(), 1);
    QVERIFY(w.file(0));

    // A file whose location was cleared is not saved.
    retypeLocation(w.file(0), QString());
    QCOMPARE(w.panel->contentBlocks().size(), 0);
    QVERIFY(changed.count() >= 1);
}

void ItemDetailPanelWorkspaceTest::folderMarkerAndTitles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path();
    const QString picture = dir.filePath(QStringLiteral("chart.png"));
    QImage image(20, 80, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(image.save(picture));

    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({
        pathBlock(folder, QStringLiteral("folder")),
        pathBlock(folder),
        pathBlock(folder, QStringLiteral("合同")),
        pathBlock(dir.filePath(QStringLiteral("gone")), QStringLiteral("folder")),
        pathBlock(picture),
    });
    settle();
    QVERIFY(w.file(0)->isFolder());
    QCOMPARE(w.panel->resourceFrames().at(0)->title, QString());
    QVERIFY(w.file(1)->isFolder());
    QVERIFY(!w.file(2)->isFolder());
    QCOMPARE(w.panel->resourceFrames().at(2)->title, QStringLiteral("合同"));
    QVERIFY(w.file(3)->isFolder()); // the marker wins even for a path that is gone
    QVERIFY(w.file(4)->height() > 36); // picture preview under the location field

    const QList<ContentBlock> saved = w.panel->contentBlocks();
    QCOMPARE(saved.at(0).summary, QStringLiteral("folder"));
    QCOMPARE(saved.at(1).summary, QStringLiteral("folder"));
    QCOMPARE(saved.at(2).summary, QStringLiteral("合同"));
    QCOMPARE(saved.at(3).summary, QStringLiteral("folder"));
    QCOMPARE(saved.at(4).summary, QString());
}

void ItemDetailPanelWorkspaceTest::linkSummaryAndTitle()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({linkBlock(QStringLiteral("https://example.invalid/a")),
        linkBlock(QStringLiteral("https://example.invalid/b"), QStringLiteral("Home page"))});
    QCOMPARE(w.panel->resourceFrames().at(1)->title, QStringLiteral("Home page"));

    // A summary the link found for itself is saved with it.
    w.link(0)->setSummary(QStringLiteral("Fetched title"));
    QCOMPARE(w.panel->contentBlocks().at(0).summary, QStringLiteral("Fetched title"));

    // A loaded summary is the frame's title, and stays when the address changes.
    retypeLocation(w.link(1), QStringLiteral("http://127.0.0.1:1/c"));
    QList<ContentBlock> saved = w.panel->contentBlocks();
    QCOMPARE(saved.at(1).value, QStringLiteral("http://127.0.0.1:1/c"));
    QCOMPARE(saved.at(1).summary, QStringLiteral("Home page"));

    // A name typed in the resource list wins over the link's own summary.
    QTableWidget *list = w.panel->resourceTable();
    clickCell(list, 0, 1);
    auto *editor = list->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("  Mine "));
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    saved = w.panel->contentBlocks();
    QCOMPARE(saved.at(0).summary, QStringLiteral("Mine"));
}

void ItemDetailPanelWorkspaceTest::signatureFollowsContentOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QList<ContentBlock> blocks = {textBlock(QStringLiteral("first")), pathBlock(dir.path()),
        textBlock(QStringLiteral("second"), QStringLiteral("T"))};

    // Read before the widgets were ever shown or styled, and again after.
    ItemDetailPanel unshown;
    unshown.setContentBlocks(blocks);
    const QString early = unshown.contentSignature();

    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->activateWorkspace(9, blocks);
    const QString clean = w.panel->contentSignature();
    settle();
    QCOMPARE(w.panel->contentSignature(), clean);
    QCOMPARE(early, clean);

    // Selection and the cache do not count.
    clickCell(w.panel->resourceTable(), 1, 0);
    QCOMPARE(w.panel->contentSignature(), clean);
    w.panel->activateWorkspace(10, {});
    QVERIFY(w.panel->contentSignature() != clean);
    w.panel->activateWorkspace(9, {});
    QCOMPARE(w.panel->contentSignature(), clean);

    // An edit changes it; undoing the edit brings the clean signature back.
    TextAttachmentWidget *note = w.text(0);
    QStringList seen;
    connect(w.panel, &ItemDetailPanel::detailChanged, this,
        [&] { seen << w.panel->contentSignature(); });
    typeAtEnd(note, QStringLiteral("!"));
    QVERIFY(!seen.isEmpty());
    QVERIFY(seen.last() != clean);
    QCOMPARE(seen.last(), w.panel->contentSignature());
    QTest::keyClick(note->textEdit(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(seen.last(), clean);

    // So do a location and a title.
    retypeLocation(w.file(1), dir.filePath(QStringLiteral("elsewhere")));
    const QString moved = w.panel->contentSignature();
    QVERIFY(moved != clean);
    w.panel->resourceFrames().at(2)->title = QStringLiteral("Renamed");
    QVERIFY(w.panel->contentSignature() != moved);
}

void ItemDetailPanelWorkspaceTest::signatureMatchesJsonDocument()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString awkward = QStringLiteral("q\"b\\s/ \b\f\n\r\t");
    for (char16_t c = 0; c < 0x20; ++c)
        awkward.append(QChar(c));
    awkward.append(QChar(0x7f));
    awkward.append(QChar(0xd800)); // lone high surrogate
    awkward.append(QStringLiteral("a"));
    awkward.append(QChar(0xdc00)); // lone low surrogate
    awkward.append(QStringLiteral("😀中文"));
    awkward.append(QChar(0xfffe));
    awkward.append(QChar(0xffff));
    awkward.append(QChar(0xfeff));
    awkward.append(QChar(0xd83d)); // high surrogate right before the end
    awkward.append(QStringLiteral("%1 end"));

    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks(
        {pathBlock(dir.path(), QStringLiteral("x") + awkward), textBlock(awkward),
            linkBlock(QStringLiteral("https://example.invalid/"), QStringLiteral("s") + awkward)});
    const QList<ContentBlock> saved = w.panel->contentBlocks();
    QCOMPARE(saved.size(), 3);
    QCOMPARE(w.panel->contentSignature(), referenceSignature(saved));
    // A second, cached, read gives the same text.
    QCOMPARE(w.panel->contentSignature(), referenceSignature(saved));

    w.panel->setContentBlocks({textBlock(QString())});
    QCOMPARE(w.panel->contentSignature(), referenceSignature(w.panel->contentBlocks()));
    w.panel->clearWorkspace(0);
    QCOMPARE(w.panel->contentSignature(), QStringLiteral("[]"));
}

void ItemDetailPanelWorkspaceTest::detailJoinsNonEmptyNotes()
{
    PanelWindow w;
    QVERIFY(w.ready());
    const QString marker = ItemDetailPanel::editorBreak();
    QCOMPARE(marker.size(), 29);

    w.panel->setDetail(
        QStringLiteral("<p>one</p>") + marker + marker + QStringLiteral("<p>two</p>"));
    QCOMPARE(w.count(), 3);
    QCOMPARE(w.text(0)->plainText(), QStringLiteral("one"));
    QVERIFY(w.text(1)->plainText().isEmpty());
    QCOMPARE(w.text(2)->plainText(), QStringLiteral("two"));

    // Empty notes are left out, files and links never appear.
    w.panel->addUrlAttachment();
    const QStringList parts = w.panel->detail().split(marker);
    QCOMPARE(parts.size(), 2);
    QVERIFY(parts.at(0).contains(QStringLiteral(">one<")));
    QVERIFY(parts.at(1).contains(QStringLiteral(">two<")));

    w.panel->setDetail(QString());
    QCOMPARE(w.count(), 1);
    QVERIFY(w.text(0));
    QCOMPARE(w.panel->detail(), QString());
}

VELTO_TEST_MAIN(ItemDetailPanelWorkspaceTest)
#include "tst_itemdetailpanel_workspace.moc"
