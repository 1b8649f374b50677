#include "TestSupport.h"

#include "ItemDetailPanelTestSupport.h"
#include "RecordingHostOperations.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>

#include <functional>

using namespace paneltest;

namespace {

void clickCell(QTableWidget *list, int row, int column)
{
    const QRect rect = list->visualRect(list->model()->index(row, column));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

QString cellText(QTableWidget *list, int row, int column)
{
    const QTableWidgetItem *item = list->item(row, column);
    return item ? item->text() : QString();
}

// Whether a cell editor of the list is open.
bool isEditing(QTableWidget *list)
{
    const auto editors = list->viewport()->findChildren<QLineEdit *>();
    return std::any_of(editors.cbegin(), editors.cend(),
        [](const QLineEdit *editor) { return editor->isVisible(); });
}

QColor pixelAt(QWidget *widget, QPoint point)
{
    return widget->grab().toImage().pixelColor(point);
}

// Runs `action` when `watched` is disabled, the way a focus chain moves on from a disabled widget.
class OnDisabled : public QObject {
public:
    OnDisabled(QWidget *watched, std::function<void()> action)
        : QObject(watched)
        , action(std::move(action))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange && !static_cast<QWidget *>(watched)->isEnabled())
            action();
        return false;
    }

private:
    std::function<void()> action;
};

} // namespace

class ItemDetailPanelTest : public QObject {
    Q_OBJECT

private slots:
    void freshPanelOffersOneNote();
    void listNumbersAndNamesResources();
    void clickingTheListSelectsAndRenames();
    void removalSelectsTheNeighbour();
    void movingKeepsResourcesInsideTheList();
    void revealOnlyForExistingFilesAndFolders();
    void readOnlyPanelClearsSelectionAndLocksWidgets();
    void lockingSurvivesFocusMovingIntoAnotherResource();
};

void ItemDetailPanelTest::freshPanelOffersOneNote()
{
    PanelWindow w;
    QVERIFY(w.ready());
    QCOMPARE(w.count(), 1);
    QVERIFY(w.text(0));
    QCOMPARE(w.panel->currentWorkspace(), 0);
    QCOMPARE(w.panel->resourceTable()->rowCount(), 1);
    QCOMPARE(cellText(w.panel->resourceTable(), 0, 1), QStringLiteral("文本"));
    QVERIFY(w.panel->isResourceListVisible());
    w.panel->setResourceListVisible(false);
    QVERIFY(!w.panel->isResourceListVisible());

    // The selected frame is drawn with the highlight border, the others with the plain one.
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")), textBlock(QStringLiteral("b"))});
    settle();
    ResourceFrame *first = w.panel->resourceFrames().at(0);
    ResourceFrame *second = w.panel->resourceFrames().at(1);
    QVERIFY(second->isSelected());
    QCOMPARE(pixelAt(second, QPoint(second->width() / 2, 0)), QColor(0x5b, 0x9b, 0xd5));
    QCOMPARE(pixelAt(first, QPoint(first->width() / 2, 0)), QColor(0xd9, 0xde, 0xe7));
    clickCell(w.panel->resourceTable(), 0, 0);
    settle();
    QCOMPARE(pixelAt(first, QPoint(first->width() / 2, 0)), QColor(0x5b, 0x9b, 0xd5));
    QCOMPARE(pixelAt(second, QPoint(second->width() / 2, 0)), QColor(0xd9, 0xde, 0xe7));
}

void ItemDetailPanelTest::listNumbersAndNamesResources()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString report = dir.filePath(QStringLiteral("report.pdf"));
    QFile(report).open(QIODevice::WriteOnly);

    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({
        textBlock(QStringLiteral("note")),
        pathBlock(report),
        pathBlock(dir.path(), QStringLiteral("folder")),
        linkBlock(QStringLiteral("https://example.invalid/page")),
        textBlock(QStringLiteral("named"), QStringLiteral("  Minutes ")),
        pathBlock(QStringLiteral("   ")),
    });
    QTableWidget *list = w.panel->resourceTable();
    QCOMPARE(list->rowCount(), 6);
    const QStringList names = {
        QStringLiteral("文本"),
        QStringLiteral("report.pdf"),
        QDir(dir.path()).dirName(),
        QStringLiteral("链接"),
        QStringLiteral("  Minutes "),
        QStringLiteral("文件"),
    };
    for (int row = 0; row < 6; ++row) {
        QCOMPARE(cellText(list, row, 0), QString::number(row + 1));
        QCOMPARE(cellText(list, row, 1), names.at(row));
        QVERIFY(!(list->item(row, 0)->flags() & Qt::ItemIsEditable));
        QVERIFY(list->item(row, 1)->flags() & Qt::ItemIsEditable);
    }
    // Loading highlights the last resource without picking it.
    QCOMPARE(list->currentRow(), 5);
    QCOMPARE(w.selectedIndex(), 5);
    QVERIFY(!w.panel->resourceSelectionActive());
}

void ItemDetailPanelTest::clickingTheListSelectsAndRenames()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("one")), textBlock(QStringLiteral("two")),
        linkBlock(QStringLiteral("https://example.invalid/"))});
    settle();
    QTableWidget *list = w.panel->resourceTable();
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);

    // A click on the name selects the resource and opens its name for editing at once.
    clickCell(list, 0, 1);
    QCOMPARE(w.selectedIndex(), 0);
    QVERIFY(w.panel->resourceSelectionActive());
    QVERIFY(changed.count() >= 1);
    QVERIFY(isEditing(list));
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("Contract"));
    changed.clear();
    QTest::keyClick(editor, Qt::Key_Return);
    settle(); // the delegate commits on the next pass
    QCOMPARE(w.panel->resourceFrames().at(0)->title, QStringLiteral("Contract"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(w.panel->contentBlocks().at(0).summary, QStringLiteral("Contract"));

    // A name of spaces only is stored as empty and the default name comes back.
    const QString before = w.panel->contentSignature();
    clickCell(list, 2, 1);
    editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("   "));
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    QCOMPARE(w.panel->resourceFrames().at(2)->title, QString());
    QCOMPARE(cellText(list, 2, 1), QStringLiteral("链接"));
    QCOMPARE(w.panel->contentSignature(), before);

    // A click on the number column selects without opening an editor.
    clickCell(list, 1, 0);
    QCOMPARE(w.selectedIndex(), 1);
    QVERIFY(!isEditing(list));

    // Focusing a note in the workspace selects it as well.
    w.panel->setResourceSelectionActive(false);
    QTest::mouseClick(w.text(0)->textEdit()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(w.selectedIndex(), 0);
    QVERIFY(w.panel->resourceSelectionActive());
    QCOMPARE(list->currentRow(), 0);
}

void ItemDetailPanelTest::removalSelectsTheNeighbour()
{
    PanelWindow w;
    QVERIFY(w.ready());
    const QList<ContentBlock> three = {textBlock(QStringLiteral("a")),
        textBlock(QStringLiteral("b")), textBlock(QStringLiteral("c"))};
    w.panel->setContentBlocks(three);
    // Nothing is picked after loading: the command acts on the item instead.
    QVERIFY(!w.panel->removeSelectedResource());
    QCOMPARE(w.count(), 3);

    clickCell(w.panel->resourceTable(), 1, 0);
    QWidget *third = w.content(2);
    QPointer<QWidget> removed = w.content(1);
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);
    QVERIFY(w.panel->removeSelectedResource());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(w.count(), 2);
    QCOMPARE(w.panel->selectedResource(), third);
    QCOMPARE(w.panel->resourceTable()->rowCount(), 2);
    settle();
    QVERIFY(removed.isNull());

    // Removing the last one selects the new last one.
    QWidget *first = w.content(0);
    QVERIFY(w.panel->removeSelectedResource());
    QCOMPARE(w.panel->selectedResource(), first);

    // Removing the only one leaves nothing selected and an empty list.
    QVERIFY(w.panel->removeSelectedResource());
    QCOMPARE(w.count(), 0);
    QCOMPARE(w.panel->selectedResource(), nullptr);
    QVERIFY(!w.panel->resourceSelectionActive());
    QCOMPARE(w.panel->resourceTable()->rowCount(), 0);
    QCOMPARE(w.panel->contentSignature(), QStringLiteral("[]"));
    QVERIFY(!w.panel->removeSelectedResource());
}

void ItemDetailPanelTest::movingKeepsResourcesInsideTheList()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")), textBlock(QStringLiteral("b")),
        textBlock(QStringLiteral("c"))});
    QVERIFY(!w.panel->canMoveSelectedResource(-1)); // nothing picked yet

    clickCell(w.panel->resourceTable(), 0, 0);
    QVERIFY(!w.panel->canMoveSelectedResource(-1));
    QVERIFY(!w.panel->moveSelectedResource(-1));
    QVERIFY(w.panel->canMoveSelectedResource(1));
    QVERIFY(!w.panel->canMoveSelectedResource(2));
    QVERIFY(!w.panel->moveSelectedResource(2));
    QVERIFY(!w.panel->canMoveSelectedResource(0));

    QWidget *a = w.content(0);
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);
    QVERIFY(w.panel->moveSelectedResource(1));
    QVERIFY(w.panel->moveSelectedResource(1));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(w.indexOf(a), 2);
    QCOMPARE(w.panel->resourceTable()->currentRow(), 2);
    QVERIFY(!w.panel->canMoveSelectedResource(1));
    QVERIFY(!w.panel->moveSelectedResource(1));

    // Blocks and the notes of detail() follow the new order.
    const QList<ContentBlock> blocks = w.panel->contentBlocks();
    QVERIFY(blocks.at(0).value.contains(QStringLiteral(">b<")));
    QVERIFY(blocks.at(2).value.contains(QStringLiteral(">a<")));
    const QStringList notes = w.panel->detail().split(ItemDetailPanel::editorBreak());
    QCOMPARE(notes.size(), 3);
    QVERIFY(notes.at(2).contains(QStringLiteral(">a<")));
}

void ItemDetailPanelTest::revealOnlyForExistingFilesAndFolders()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("minutes.txt"));
    QFile(file).open(QIODevice::WriteOnly);
    RecordingHostOperations host;

    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")), pathBlock(file),
        pathBlock(dir.path()), pathBlock(dir.filePath(QStringLiteral("missing.txt")))});
    QTableWidget *list = w.panel->resourceTable();

    clickCell(list, 0, 0);
    QVERIFY(!w.panel->canRevealSelectedResource());
    QVERIFY(!w.panel->revealSelectedResource());

    clickCell(list, 1, 0);
    QVERIFY(w.panel->canRevealSelectedResource());
    QVERIFY(w.panel->revealSelectedResource());
    QCOMPARE(host.requests.size(), 1);
    QCOMPARE(host.requests.at(0).operation, QStringLiteral("revealInFileManager"));

    clickCell(list, 2, 0);
    QVERIFY(w.file(2)->isFolder());
    QVERIFY(w.panel->revealSelectedResource());
    QCOMPARE(host.requests.size(), 2);
    QCOMPARE(host.requests.at(1).operation, QStringLiteral("openWithSystem"));

    clickCell(list, 3, 0);
    QVERIFY(w.panel->canRevealSelectedResource());
    QVERIFY(!w.panel->revealSelectedResource());
    QCOMPARE(host.requests.size(), 2);
}

void ItemDetailPanelTest::readOnlyPanelClearsSelectionAndLocksWidgets()
{
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")),
        linkBlock(QStringLiteral("https://example.invalid/")), textBlock(QStringLiteral("b"))});
    QTableWidget *list = w.panel->resourceTable();
    clickCell(list, 0, 0);
    QVERIFY(w.panel->resourceSelectionActive());

    w.panel->setContentEditable(false);
    QCOMPARE(list->currentRow(), -1);
    QVERIFY(!w.panel->resourceSelectionActive());
    QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(w.text(0)->textEdit()->isReadOnly());
    QVERIFY(!w.link(1)->isEnabled());

    // Clicks on the list neither select nor rename.
    QWidget *selected = w.panel->selectedResource();
    clickCell(list, 2, 1);
    QCOMPARE(w.panel->selectedResource(), selected);
    QVERIFY(!w.panel->resourceSelectionActive());
    QVERIFY(!isEditing(list));

    // Typing into a read-only note changes nothing.
    const QString signature = w.panel->contentSignature();
    QTest::mouseClick(w.text(2)->textEdit()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::keyClicks(w.text(2)->textEdit(), QStringLiteral("xyz"));
    QCOMPARE(w.panel->contentSignature(), signature);

    w.panel->setContentEditable(true);
    QVERIFY(!w.text(0)->textEdit()->isReadOnly());
    QVERIFY(w.link(1)->isEnabled());
    clickCell(list, 2, 1);
    QCOMPARE(w.selectedIndex(), 2);
    QVERIFY(isEditing(list));
}

void ItemDetailPanelTest::lockingSurvivesFocusMovingIntoAnotherResource()
{
    PanelWindow w;
    QVERIFY(w.ready());
    // A cached workspace: its frame list is shared with the cache entry that a rebuild replaces.
    w.panel->activateWorkspace(7,
        {linkBlock(QStringLiteral("https://example.invalid/")), textBlock(QStringLiteral("a")),
            linkBlock(QStringLiteral("https://example.invalid/b")),
            textBlock(QStringLiteral("b"))});
    settle();
    auto *location = w.link(0)->findChild<QLineEdit *>();
    location->setFocus();
    QTRY_VERIFY(location->hasFocus());
    QWidget *selectedBefore = w.panel->selectedResource();
    new OnDisabled(w.link(0), [&w] { w.text(1)->textEdit()->setFocus(); });

    w.panel->setContentEditable(false);
    // The focus moved into the next resource while the panel was being locked, which selected it.
    QVERIFY(w.text(1)->textEdit()->hasFocus());
    QVERIFY(w.panel->selectedResource() != selectedBefore);
    QVERIFY(!w.panel->resourceSelectionActive());
    QCOMPARE(w.panel->resourceTable()->currentRow(), -1);
    QVERIFY(!w.link(0)->isEnabled() && !w.link(2)->isEnabled());
    QVERIFY(w.text(1)->textEdit()->isReadOnly() && w.text(3)->textEdit()->isReadOnly());
    QCOMPARE(w.count(), 4);
}

VELTO_TEST_MAIN(ItemDetailPanelTest)
#include "tst_itemdetailpanel.moc"
