#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "TestSupport.h"
#include "TextAttachmentWidget.h"

#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>
#include <QToolButton>

using namespace velto::test;

class TestMainWindowEditing : public QObject {
    Q_OBJECT

    static void type(QLineEdit *edit, const QString &text)
    {
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
    static QString label(WindowFixture &f) { return f->statusLabel()->text(); }

private slots:
    void init() { QSettings().clear(); }

    void rowsOfALevel()
    {
        WindowFixture f;
        // Empty database: only the placeholder, without number and with an invisible button.
        QCOMPARE(f.table()->rowCount(), 1);
        QCOMPARE(f.table()->item(0, 0)->text(), QString());
        QVERIFY(!f.table()->branchButton(0)->isEnabled());

        QList<DataItem> tree = level(3);
        tree[2].sortid = 0;
        tree.append(level(1, 1, 10, QStringLiteral("子")));
        QVERIFY(insertItems(tree));
        f.reload();
        QCOMPARE(f.table()->rowCount(), 4);
        QCOMPARE(f.table()->item(0, 0)->text(), QString()); // sortid 0 (sorted first): no number
        QCOMPARE(f.table()->item(1, 0)->text(), QStringLiteral("1"));
        QCOMPARE(f.table()->branchButton(1)->text(), QStringLiteral("»"));
        QVERIFY(!f.table()->branchButton(2)->isEnabled());
        QCOMPARE(f.table()->contentEditor(2)->text(), QStringLiteral("c2"));

        f->refresh(12345, -1); // unknown key: first row
        f.settle();
        QCOMPARE(f->currentRowIndex(), 0);
        f->refresh(0, 99); // beyond the end: the placeholder
        f.settle();
        QCOMPARE(f->currentRowIndex(), 3);

        // Inside a branch whose only child is gone: parent row and placeholder.
        QTest::mouseClick(f.table()->branchButton(1), Qt::LeftButton);
        QCOMPARE(f->currentParent(), 1);
        QSqlQuery(f.db()).exec(QStringLiteral("DELETE FROM data_items WHERE iid = 10"));
        f->refresh(0, -1);
        f.settle();
        QCOMPARE(f.table()->rowCount(), 2);
        QCOMPARE(f.table()->branchButton(0)->text(), QStringLiteral("↩"));
        QVERIFY(!f.table()->nameEditor(0)->isEnabled());
        QCOMPARE(f.table()->item(0, 0)->text(), QString());
    }

    void editingLocksTheRowAndChangingBackIsClean()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(3)));
        f.reload();
        QLineEdit *name = f.table()->nameEditor(1);
        type(name, QStringLiteral("x"));
        QCOMPARE(f->currentRowIndex(), 1);
        QVERIFY(f->isDirty());
        QCOMPARE(label(f), QStringLiteral("正在编辑业务，完成后请保存"));
        QVERIFY(!f.table()->nameEditor(0)->isEnabled());
        QVERIFY(!f->commandButtons().add->isEnabled() && f->commandButtons().cancel->isEnabled());
        // Neither a click on another row nor focusing its editor leaves the edited row.
        f.table()->cellClicked(2, 0);
        f.table()->nameEditor(2)->setFocus();
        QCOMPARE(f->currentRowIndex(), 1);
        QCOMPARE(f.table()->currentRow(), 1);
        QVERIFY(f->isRecoveryScheduled());
        QTest::keyClick(name, Qt::Key_Backspace);
        QVERIFY(!f->isDirty());
        QVERIFY(f.table()->nameEditor(2)->isEnabled());
    }

    void saveFillsTimeStamps()
    {
        WindowFixture f;
        // The placeholder saved with nothing typed: date and time, one text resource.
        QTest::mouseClick(f->commandButtons().save, Qt::LeftButton);
        QCOMPARE(label(f), QStringLiteral("已新建并保存业务"));
        DataItem saved = f->levelItems().value(0);
        QCOMPARE(saved.here, QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
        QVERIFY(QTime::fromString(saved.cont, QStringLiteral("HH:mm:ss")).isValid());
        QVERIFY(!saved.desc.isEmpty());
        const QList<ContentBlock> blocks = f->service().contentBlocks(saved.iid);
        QCOMPARE(blocks.size(), 1);
        QCOMPARE(blocks.first().type, int(ContentBlock::Text));
        QVERIFY(QDateTime::fromString(blocks.first().value, QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                    .isValid());
        QVERIFY(!QFile::exists(f->recoveryDraftPath()));

        // A new item with only a name gets the time stamp as its content.
        type(f.table()->nameEditor(1), QStringLiteral("Name"));
        f->saveCurrent();
        QCOMPARE(label(f), QStringLiteral("已保存业务标题，内容已自动记录当前时间"));
        QCOMPARE(f->levelItems().value(1).here, QStringLiteral("Name"));

        // Stored content cleared in the editor is replaced by the time stamp: an ordinary save.
        f->selectRow(0);
        f.table()->contentEditor(0)->clear();
        f->rowTextChanged(0);
        f->saveCurrent();
        QCOMPARE(label(f), QStringLiteral("已保存业务"));
        QVERIFY(QDateTime::fromString(
            f->levelItems().value(0).cont, QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                    .isValid());
        f->saveCurrent(); // unchanged: stored again
        QCOMPARE(label(f), QStringLiteral("已保存业务"));
        QCOMPARE(f->levelItems().size(), 2);
    }

    // A save renders the level again with the same rows: the editors show what was stored, and
    // they, the cells and the branch buttons keep working.
    void rowsStayLiveAfterASave()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3);
        tree.append(level(1, 1, 10, QStringLiteral("子")));
        QVERIFY(insertItems(tree));
        f.reload();
        f->selectRow(2);
        f.table()->contentEditor(2)->clear();
        f->rowTextChanged(2);
        f->saveCurrent();
        f.settle();
        const QString stored = f->levelItems().value(2).cont;
        QVERIFY(!stored.isEmpty());
        QCOMPARE(f.table()->contentEditor(2)->text(), stored);
        QCOMPARE(f.table()->item(2, 2)->data(Qt::AccessibleTextRole).toString(), stored);
        QVERIFY(!f.table()->contentEditor(2)->isUndoAvailable());
        QVERIFY(!f->isDirty());

        type(f.table()->remarkEditor(2), QStringLiteral("r"));
        QVERIFY(f->isDirty());
        QCOMPARE(f.table()->item(2, 3)->data(Qt::AccessibleTextRole).toString(),
            f.table()->remarkEditor(2)->text());
        f->saveCurrent();
        f.settle();
        QVERIFY(!f->isDirty());
        QTest::mouseClick(f.table()->branchButton(0), Qt::LeftButton);
        QCOMPARE(f->currentParent(), 1);
    }

    // A save straight after selecting an item whose notes are not built yet stores the signature
    // and the blocks its built widgets give.
    void saveRightAfterSelectingStoresTheExactResources()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2)));
        QList<ContentBlock> blocks;
        for (int i = 0; i < 150; ++i) {
            ContentBlock note;
            note.type = ContentBlock::Text;
            note.value = QStringLiteral("<p><b>第 %1 条</b> note</p><ul><li>a</li></ul>").arg(i);
            note.summary = i % 7 == 0 ? QStringLiteral("标题 %1").arg(i) : QString();
            blocks.append(note);
        }
        QVERIFY(f->service().replaceContentBlocks(2, blocks, nullptr));
        f.reload();
        f->selectRow(1);
        ItemDetailPanel *panel = f->detailPanel();
        QVERIFY(panel->builtResourceCount() < 150);
        type(f.table()->nameEditor(1), QStringLiteral("x"));
        f->saveCurrent();
        QCOMPARE(label(f), QStringLiteral("已保存业务"));
        const QString desc = f->levelItems().value(1).desc;
        const QList<ContentBlock> stored = f->service().contentBlocks(2);

        for (int i = 0; i < panel->resourceFrames().size(); ++i)
            QVERIFY(panel->resourceContent(i));
        QCOMPARE(desc, panel->contentSignature());
        const QList<ContentBlock> built = panel->contentBlocks();
        QCOMPARE(stored.size(), built.size());
        for (int i = 0; i < built.size(); ++i) {
            QCOMPARE(stored.at(i).value, built.at(i).value);
            QCOMPARE(stored.at(i).summary, built.at(i).summary);
        }
        QVERIFY(!f->isDirty());
    }

    void cancelRestoresAndDropsDrafts()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2)));
        f.reload();
        type(f.table()->remarkEditor(0), QStringLiteral("r"));
        QTest::mouseClick(f->commandButtons().cancel, Qt::LeftButton);
        QCOMPARE(f.table()->remarkEditor(0)->text(), QString());
        QVERIFY(!f->isDirty());
        QCOMPARE(label(f), QStringLiteral("已取消修改并恢复原内容"));
        // A new resource makes the row dirty; cancel takes it away again.
        f->detailPanel()->addTimestampedTextAttachment();
        QVERIFY(f->isDirty());
        QCOMPARE(label(f), QStringLiteral("事项内容已修改，完成后请保存"));
        f->cancelCurrent();
        QTest::qWait(300);
        QVERIFY(!f->isDirty());

        f->selectRow(1);
        f->addItem();
        QCOMPARE(f->draftRowIndex(), 1);
        QCOMPARE(f.table()->rowCount(), 3); // the draft replaces the placeholder
        f->cancelCurrent();
        QCOMPARE(f->draftRowIndex(), -1);
        QCOMPARE(f.table()->rowCount(), 3);
        QCOMPARE(f->currentRowIndex(), 1);
        QCOMPARE(label(f), QStringLiteral("已取消新建业务"));

        // A child draft of a childless item, cancelled, leaves the branch again.
        f->selectRow(0);
        f->addChild();
        QCOMPARE(f->currentParent(), 1);
        QCOMPARE(f->draftRowIndex(), 1);
        f->cancelCurrent();
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 1);
        QCOMPARE(f->levelItems().size(), 2);
    }

    void storageFailuresKeepTheEditOpen()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(1)));
        f.reload();
        QVERIFY(QSqlQuery(f.db()).exec(QStringLiteral(
            "CREATE TRIGGER refuse BEFORE INSERT ON content_blocks BEGIN SELECT RAISE(ABORT, "
            "'disk refuses'); END")));
        f->selectRow(1);
        type(f.table()->nameEditor(1), QStringLiteral("new"));
        SeenBox seen;
        auto box = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        f->saveCurrent();
        QCOMPARE(seen.count, 1);
        QCOMPARE(seen.title, QStringLiteral("Velto"));
        QVERIFY(seen.text.contains(QStringLiteral("disk refuses")));
        QCOMPARE(f->repository().byParent(0).size(), 1); // the new item is gone again
        QVERIFY(f->isDirty());
        QCOMPARE(f.table()->nameEditor(1)->text(), QStringLiteral("new"));

        // Closing: "取消" keeps the window; "保存" that fails keeps it; "放弃" closes.
        box = answerNextMessageBox(QStringLiteral("取消"));
        QVERIFY(!f->close());
        box = answerNextMessageBox(QStringLiteral("保存"));
        auto warning = answerNextMessageBox(QString(), QMessageBox::Ok); // the failure's warning
        QVERIFY(!f->close());
        QVERIFY(f->isDirty());
        QFile draft(f->recoveryDraftPath());
        QVERIFY(draft.open(QIODevice::WriteOnly));
        draft.close();
        box = answerNextMessageBox(QStringLiteral("放弃"));
        QVERIFY(f->close());
        QVERIFY(!QFile::exists(f->recoveryDraftPath()));
    }

    void longNoteKeystrokesAndUndo()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(1)));
        ContentBlock note;
        note.type = ContentBlock::Text;
        note.value = bigNote();
        QVERIFY(f->service().replaceContentBlocks(1, {note}, nullptr));
        f.reload();
        auto *text = f->detailPanel()->findChild<TextAttachmentWidget *>();
        QVERIFY(text);
        text->textEdit()->setFocus();
        QTest::keyClick(text->textEdit(), Qt::Key_B);
        QVERIFY(f->isDirty()); // at once, before any signature is taken
        QCOMPARE(label(f), QStringLiteral("事项内容已修改，完成后请保存"));
        // Coming back into the edited row does not take the edit as the stored state.
        f.table()->nameEditor(0)->setFocus();
        f.table()->cellClicked(0, 2);
        QTest::qWait(400);
        QVERIFY(f->isDirty());
        text->textEdit()->setFocus();
        QTest::keyClick(text->textEdit(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(f->isDirty());
        QTRY_VERIFY_WITH_TIMEOUT(!f->isDirty(), 3000); // confirmed clean once typing pauses
    }

    void visitsAreRecordedOnlyForUserSelections()
    {
        WindowFixture f;
        QList<DataItem> items = level(3);
        items[2].favorite = true;
        QVERIFY(insertItems(items));
        f.reload();
        QVERIFY(f->repository().recentItems(20).isEmpty()); // refresh selected row 0
        f.table()->cellClicked(2, 1); // a favourite
        QVERIFY(f->repository().recentItems(20).isEmpty());
        f.table()->cellClicked(1, 1);
        QCOMPARE(f->repository().recentItems(20).value(0).iid, 2);
        QCOMPARE(sidebarList(f.window.get(), 1)->count(), 1);
        QCOMPARE(currentIid(sidebarList(f.window.get(), 1)), 2);
        QCOMPARE(label(f), QStringLiteral("已选择业务：项2"));
    }
};

VELTO_TEST_MAIN(TestMainWindowEditing)
#include "tst_mainwindow_editing.moc"
