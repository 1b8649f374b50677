// The window without the mouse: every shortcut runs its command (and refuses when the command
// would), no shortcut takes an editing key from the editors, and the table's Up/Down and Tab.
#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "ResourceFrame.h"
#include "TestSupport.h"
#include "TextAttachmentWidget.h"
#include "WindowActions.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QStatusBar>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolButton>

using namespace velto::test;

namespace {

// A window with the level 项1..项3, item 2 holding 子1..子2, shown and active.
struct KeyboardWindow : WindowFixture {
    KeyboardWindow()
    {
        QList<DataItem> tree = level(3);
        tree << level(2, 2, 10, QStringLiteral("子"));
        insertItems(tree);
        reload();
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get());
    }
    void press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        if (!window->isActiveWindow()) { // a message box had the focus
            window->activateWindow();
            (void)QTest::qWaitForWindowActive(window.get());
        }
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : window.get();
        QTest::keyClick(target, Qt::Key(key), mods);
        settle();
    }
    QString label() const { return window->statusLabel()->text(); }
    QStringList names() const
    {
        QStringList result;
        for (const DataItem &item : window->levelItems())
            result << item.here;
        return result;
    }
    // Types into the selected row's name editor, making the row dirty.
    void edit()
    {
        QLineEdit *name = table()->nameEditor(window->currentRowIndex());
        name->setFocus();
        QTest::keyClicks(name, QStringLiteral("x"));
    }
};

// Whether a widget claims the key for itself before the window's shortcuts see it.
bool claims(QWidget *widget, const QKeySequence &sequence)
{
    const QKeyCombination combination = sequence[0];
    QKeyEvent override(
        QEvent::ShortcutOverride, combination.key(), combination.keyboardModifiers());
    override.ignore();
    QApplication::sendEvent(widget, &override);
    return override.isAccepted();
}

} // namespace

class TestMainWindowKeyboard : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void shortcutsRunTheirCommandsOrNothing()
    {
        KeyboardWindow f;
        WindowActions *a = f->windowActions();
        QCOMPARE(a->save->toolTip(), QStringLiteral("保存 (Ctrl+S)"));
        QCOMPARE(f->commandButtons().save->toolTip(), QStringLiteral("保存 (Ctrl+S)"));
        QCOMPARE(f->commandButtons().save->text(), QStringLiteral("保存"));
        QCOMPARE(f->statusSaveButton()->toolTip(), QStringLiteral("保存 (Ctrl+S)"));
        QCOMPARE(f->statusCancelButton()->toolTip(), QStringLiteral("取消 (Esc)"));

        // Ctrl+N adds before the selected row; refused while the draft is open.
        f->selectRow(1);
        f.press(Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(f->draftRowIndex(), 1);
        f.press(Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(f->levelItems().size(), 4);
        // Escape cancels the draft; with nothing to cancel it stays with the focused widget.
        f.press(Qt::Key_Escape);
        QCOMPARE(f->draftRowIndex(), -1);
        QCOMPARE(f->levelItems().size(), 3);
        QLineEdit *name = f.table()->nameEditor(f->currentRowIndex());
        name->setFocus();
        int escapesSeen = 0;
        struct Watch : QObject {
            int *seen;
            explicit Watch(int *s)
                : seen(s)
            {
            }
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::KeyPress
                    && static_cast<QKeyEvent *>(e)->key() == Qt::Key_Escape)
                    ++*seen;
                return false;
            }
        } watch(&escapesSeen);
        name->installEventFilter(&watch);
        f.press(Qt::Key_Escape);
        QCOMPARE(escapesSeen, 1);

        // Ctrl+S saves an edit; Escape restores one.
        f.edit();
        f.press(Qt::Key_Escape);
        QVERIFY(!f->isDirty());
        QCOMPARE(f.label(), QStringLiteral("已取消修改并恢复原内容"));
        f.edit();
        f.press(Qt::Key_S, Qt::ControlModifier);
        QVERIFY(!f->isDirty());
        QCOMPARE(f.label(), QStringLiteral("已保存业务"));
        QCOMPARE(f.names().at(1), QStringLiteral("项2x"));

        // Alt+Down / Alt+Up move the row; not above the first one.
        f->selectRow(0);
        f.press(Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(f->currentRowIndex(), 0);
        f.press(Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(f.names(), QStringList({"项2x", "项1", "项3"}));
        QCOMPARE(f->currentRowIndex(), 1);
        f.press(Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(f.names(), QStringList({"项1", "项2x", "项3"}));

        // Ctrl+D marks a favourite; not the placeholder row.
        f->selectRow(3);
        f.press(Qt::Key_D, Qt::ControlModifier);
        QVERIFY(f->repository().favorites().isEmpty());
        f->selectRow(0);
        f.press(Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(f->repository().favorites().size(), 1);
        QCOMPARE(a->common->text(), QStringLiteral("取消常用"));

        // Alt+Right enters the selected branch (not a row without children); Alt+Left returns.
        f.press(Qt::Key_Right, Qt::AltModifier);
        QCOMPARE(f->currentParent(), 0);
        f->selectRow(1);
        f.press(Qt::Key_Right, Qt::AltModifier);
        QCOMPARE(f->currentParent(), 2);
        f.press(Qt::Key_Left, Qt::AltModifier);
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 2);
        f.press(Qt::Key_Left, Qt::AltModifier); // at the top level: nothing
        QCOMPARE(f->currentParent(), 0);

        // Ctrl+Shift+N adds a child; not on the placeholder row.
        f->selectRow(3);
        f.press(Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f->currentParent(), 0);
        f->selectRow(2);
        f.press(Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f->currentParent(), 3);
        QCOMPARE(f->draftRowIndex(), 1);
        f.press(Qt::Key_Escape); // the first child draft of an empty branch: back up
        QCOMPARE(f->currentParent(), 0);

        // Ctrl+Shift+X marks, Ctrl+Shift+V moves into another level (not into its own).
        f->selectRow(0);
        f.press(Qt::Key_X, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f->cutItem(), 1);
        QVERIFY(a->cut->isChecked());
        f.press(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f->cutItem(), 1);
        f->enterItem(2);
        f.press(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f->cutItem(), 0);
        QCOMPARE(f->repository().get(1).pid, 2);
        QCOMPARE(f.label(), QStringLiteral("已移入当前层级"));

        // Ctrl+T adds a note; not on the parent row.
        f->selectRow(0);
        const int blocks = f->detailPanel()->contentBlocks().size();
        f.press(Qt::Key_T, Qt::ControlModifier);
        QCOMPARE(f->detailPanel()->contentBlocks().size(), blocks);
        f->selectRow(1);
        const int childBlocks = f->detailPanel()->contentBlocks().size();
        f.press(Qt::Key_T, Qt::ControlModifier);
        QCOMPARE(f->detailPanel()->contentBlocks().size(), childBlocks + 1);
        QCOMPARE(f.label(), QStringLiteral("已添加文本事项"));
        f.press(Qt::Key_Escape);
        QVERIFY(!f->isDirty());

        // Ctrl+Shift+Delete asks and deletes; refused while an edit is open.
        f.edit();
        f.press(Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(f->isDirty());
        QCOMPARE(f->levelItems().size(), 4);
        f.press(Qt::Key_Escape);
        SeenBox seen;
        const auto answer1 = answerNextMessageBox(QString(), QMessageBox::Yes, &seen);
        f.press(Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(seen.count, 1);
        QCOMPARE(f->levelItems().size(), 3);

        // Ctrl+F opens the search page with the focus in its box, even while editing.
        f.edit();
        f.press(Qt::Key_F, Qt::ControlModifier);
        auto *box = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QVERIFY(box && f->navigation()->isAncestorOf(box));
        QCOMPARE(box->placeholderText(), QStringLiteral("搜索名称"));
    }

    void editorsKeepTheirKeysAndStillEdit()
    {
        KeyboardWindow f;
        // No shortcut takes a key that a line editor or the note editor claims for text.
        f->selectRow(0);
        f->detailPanel()->addTimestampedTextAttachment();
        auto *note = f->detailPanel()->findChild<TextAttachmentWidget *>();
        QVERIFY(note);
        QLineEdit *row = f.table()->contentEditor(0);
        row->setText(QStringLiteral("abc def"));
        note->textEdit()->setPlainText(QStringLiteral("abc def"));
        for (QAction *action : f->windowActions()->all()) {
            if (action->shortcut().isEmpty())
                continue;
            QVERIFY2(!claims(row, action->shortcut()), qPrintable(action->shortcut().toString()));
            QVERIFY2(!claims(note->textEdit(), action->shortcut()),
                qPrintable(action->shortcut().toString()));
        }
        // ... and the editing keys still reach the editors.
        f->cancelCurrent();
        f.press(Qt::Key_Escape);
        for (QWidget *editor : QList<QWidget *> {f.table()->nameEditor(1),
                 f.table()->contentEditor(1), f.table()->remarkEditor(1)}) {
            editor->setFocus();
            auto *line = static_cast<QLineEdit *>(editor);
            line->setText(QStringLiteral("ab"));
            QTest::keyClick(line, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(line, QStringLiteral("new"));
            QCOMPARE(line->text(), QStringLiteral("new"));
            QTest::keyClick(line, Qt::Key_Backspace);
            QTest::keyClick(line, Qt::Key_Z, Qt::ControlModifier);
            QCOMPARE(line->text(), QStringLiteral("new"));
            f.press(Qt::Key_Escape); // cancels the edit
            QVERIFY(!f->isDirty());
        }
        f->selectRow(1);
        f->detailPanel()->addTimestampedTextAttachment();
        QTextEdit *editor = f->detailPanel()->findChild<TextAttachmentWidget *>()->textEdit();
        editor->setFocus();
        editor->clear();
        QTest::keyClicks(editor, QStringLiteral("note d"));
        QTest::keyClick(editor, Qt::Key_Backspace);
        QCOMPARE(editor->toPlainText(), QStringLiteral("note "));
    }

    void notesAreReachedAndEditedByKeyboard()
    {
        KeyboardWindow f;
        QSqlQuery(WindowFixture::db())
            .exec(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                 "summary) VALUES (3, 1, 0, '<p>一</p>', ''), "
                                 "(3, 2, 0, '<p>二</p>', '')"));
        f->selectRow(2); // not shown before, so its resources are read now
        f.settle();
        ItemDetailPanel *panel = f->detailPanel();
        QTableWidget *list = panel->resourceTable();
        QCOMPARE(panel->resourceFrames().size(), 2);
        QCOMPARE(panel->resourceScrollArea()->focusPolicy(), Qt::NoFocus);
        ResourceFrame *first = panel->resourceFrames().at(0);
        ResourceFrame *second = panel->resourceFrames().at(1);
        auto *note = qobject_cast<TextAttachmentWidget *>(second->content);
        QVERIFY(note);

        // Tab from the resource list reaches the selected resource; Home and Down choose others.
        list->setFocus(Qt::TabFocusReason);
        f.press(Qt::Key_Tab);
        QVERIFY(panel->selectedResource());
        QCOMPARE(QApplication::focusWidget(), panel->selectedResource()->parentWidget());
        f.press(Qt::Key_Home);
        QCOMPARE(QApplication::focusWidget(), first);
        f.press(Qt::Key_Down);
        QCOMPARE(QApplication::focusWidget(), second);
        QCOMPARE(list->currentRow(), 1);
        // Enter edits the note; typing changes its HTML and makes the row dirty.
        const QString before = note->html();
        f.press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), note->textEdit());
        QVERIFY(!f->isDirty());
        QTest::keyClicks(note->textEdit(), QStringLiteral("abc"));
        f.settle();
        QVERIFY(note->html() != before);
        QVERIFY(f->isDirty());
        // Tab stays in the note as text; Ctrl+Tab leaves it, keeping the edit.
        f.press(Qt::Key_Tab);
        QVERIFY(note->plainText().contains(QLatin1Char('\t')));
        f.press(Qt::Key_Tab, Qt::ControlModifier);
        QWidget *after = QApplication::focusWidget();
        QVERIFY(after && f->commandBar()->isAncestorOf(after));
        QVERIFY(f->isDirty());
        f.press(Qt::Key_S, Qt::ControlModifier);
        QVERIFY(!f->isDirty());
        QSqlQuery stored(WindowFixture::db());
        stored.exec(QStringLiteral(
            "SELECT value FROM content_blocks WHERE item_iid = 3 ORDER BY sortid DESC"));
        QVERIFY(stored.next() && stored.value(0).toString().contains(QStringLiteral("abc")));

        // F2 edits too; Escape with nothing to cancel leaves the editor for the frame, and
        // Shift+Tab goes back to the list; Enter there goes to the chosen resource.
        f.settle(); // saving shows the stored resources afresh
        first = panel->resourceFrames().at(0);
        second = panel->resourceFrames().at(1);
        note = qobject_cast<TextAttachmentWidget *>(second->content);
        QVERIFY(note);
        second->setFocus(Qt::TabFocusReason);
        f.press(Qt::Key_F2);
        QCOMPARE(QApplication::focusWidget(), note->textEdit());
        f.press(Qt::Key_Escape);
        QCOMPARE(QApplication::focusWidget(), second);
        f.press(Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), list);
        f.press(Qt::Key_Up);
        f.press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), first);
        // A key typed on a note's frame starts editing with it.
        f.press(Qt::Key_Z);
        auto *firstNote = qobject_cast<TextAttachmentWidget *>(first->content);
        QCOMPARE(QApplication::focusWidget(), firstNote->textEdit());
        QVERIFY2(
            firstNote->plainText().contains(QLatin1Char('z')), qPrintable(firstNote->plainText()));
        QVERIFY(f->isDirty());
    }

    void tabWalksTheWindowInScreenOrder()
    {
        KeyboardWindow f;
        f->navigation()->setCollapsed(false);
        f->selectRow(1);
        f.settle();
        const QList<QWidget *> sections {
            f->navigation(), f.table(), f->detailPanel(), f->commandBar(), f->statusBar()};
        const auto sectionOf = [&](QWidget *w) {
            for (int i = 0; i < sections.size(); ++i) {
                if (w == sections.at(i) || sections.at(i)->isAncestorOf(w))
                    return i;
            }
            return -1;
        };
        // From the first page button, Tab visits every section once, in order, and comes back.
        QWidget *start = f->navigation()->findChild<QAbstractButton *>();
        start->setFocus(Qt::TabFocusReason);
        QList<int> visited {0};
        QStringList walk;
        for (int i = 0; i < 80 && (i == 0 || QApplication::focusWidget() != start); ++i) {
            f.press(Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            QVERIFY(focus);
            walk << QString::fromLatin1(focus->metaObject()->className());
            const int section = sectionOf(focus);
            QVERIFY2(section >= 0, qPrintable(walk.join(QLatin1Char(' '))));
            if (section != visited.last())
                visited << section;
        }
        QCOMPARE(QApplication::focusWidget(), start);
        QCOMPARE(visited, QList<int>({0, 1, 2, 3, 4, 0}));
    }

    void tableKeysWalkRowsAndCells()
    {
        KeyboardWindow f;
        f->selectRow(0);
        f.table()->contentEditor(0)->setFocus();
        // Down and Up move between rows in the same column while the row is clean.
        f.press(Qt::Key_Down);
        QCOMPARE(f->currentRowIndex(), 1);
        QCOMPARE(QApplication::focusWidget(), f.table()->contentEditor(1));
        f.press(Qt::Key_Up);
        QCOMPARE(f->currentRowIndex(), 0);
        f.press(Qt::Key_Up);
        QCOMPARE(f->currentRowIndex(), 0);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("y"));
        f.press(Qt::Key_Down); // dirty: the row is kept
        QCOMPARE(f->currentRowIndex(), 0);
        QCOMPARE(QApplication::focusWidget(), f.table()->contentEditor(0));
        f.press(Qt::Key_Escape);

        // Tab walks name, content, remark, then leaves the table; Shift+Tab comes back.
        f.table()->nameEditor(1)->setFocus();
        f.press(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.table()->contentEditor(1));
        f.press(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.table()->remarkEditor(1));
        f.press(Qt::Key_Tab);
        QWidget *after = QApplication::focusWidget();
        QVERIFY(after && !f.table()->isAncestorOf(after) && after != f.table());
        QVERIFY2(f->detailPanel()->isAncestorOf(after) || f->commandBar()->isAncestorOf(after),
            after->metaObject()->className());
        f.press(Qt::Key_Tab, Qt::ShiftModifier); // back to the table, then into its row
        QCOMPARE(QApplication::focusWidget(), f.table());
        f.press(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.table()->nameEditor(1));
        QCOMPARE(f->currentRowIndex(), 1);
        f.table()->remarkEditor(1)->setFocus();
        f.press(Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), f.table()->contentEditor(1));

        // Keys typed at once after clicking into a cell of a level just rebuilt (before the
        // rebuild's deferred steps ran) stay in that cell.
        f->windowActions()->save->trigger();
        QLineEdit *fresh = f.table()->contentEditor(0);
        QTest::mouseClick(fresh, Qt::LeftButton);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("k"));
        f.settle();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("m"));
        QCOMPARE(f->currentRowIndex(), 0);
        QVERIFY2(fresh->text().contains(QStringLiteral("km")), qPrintable(fresh->text()));
        f.press(Qt::Key_Escape);

        // A key typed at once after clicking into another row's cell is kept.
        QLineEdit *cell = f.table()->remarkEditor(2);
        QTest::mouseClick(cell, Qt::LeftButton);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("q"));
        QCOMPARE(f->currentRowIndex(), 2);
        QVERIFY2(
            cell->text().startsWith(QLatin1Char('q')) || cell->text().endsWith(QLatin1Char('q')),
            qPrintable(cell->text()));
    }
};

VELTO_TEST_MAIN(TestMainWindowKeyboard)
#include "tst_mainwindow_keyboard.moc"
