#include "CompactActionButton.h"
#include "DatabaseBackup.h"
#include "ExportDocument.h"
#include "InterchangeController.h"
#include "InterchangeTestSupport.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "RecoveryDraftStore.h"
#include "SearchController.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTreeWidget>

using namespace velto::test;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

RecoveryDraft readDraft(const QString &path)
{
    RecoveryDraft draft;
    draft.name = QStringLiteral("<unreadable>");
    RecoveryDraftStore::decode(readAll(path), &draft);
    return draft;
}

ContentBlock note(const QString &html)
{
    ContentBlock block;
    block.type = ContentBlock::Text;
    block.value = html;
    return block;
}

// The program ends without passing through save, cancel or close, and starts again.
void restart(WindowFixture &f)
{
    f.window.reset();
    f.window = std::make_unique<MainWindow>();
    f->show();
    QTest::qWait(50);
}

} // namespace

class TestInterchangeWindow : public QObject {
    Q_OBJECT

    static QString label(WindowFixture &f) { return f->statusLabel()->text(); }

private slots:
    void init() { QSettings().clear(); }

    void draftTrailsTheEditAndGoesAtEveryDeletionPoint()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2)));
        f.reload();
        const QString path = f->recoveryDraftPath();
        QLineEdit *name = f.table()->nameEditor(1);
        name->setFocus();
        name->end(false);
        QTest::keyClicks(name, QStringLiteral("ab"));
        QVERIFY(f->isRecoveryScheduled());
        QVERIFY(!QFile::exists(path)); // written only after the pause
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 30000);
        RecoveryDraft draft = readDraft(path);
        QCOMPARE(draft.itemId, 2);
        QCOMPARE(draft.name, QStringLiteral("项2ab"));
        QCOMPARE(draft.content, QStringLiteral("c2"));
        // Typing on: one pending write at a time, with the values of its own moment.
        QTest::keyClicks(name, QStringLiteral("c"));
        QCOMPARE(readDraft(path).name, QStringLiteral("项2ab"));
        QTRY_COMPARE_WITH_TIMEOUT(readDraft(path).name, QStringLiteral("项2abc"), 30000);
        f->saveCurrent();
        QVERIFY(!QFile::exists(path));
        QVERIFY(!f->isRecoveryScheduled());

        // Cancel, and a new item's draft names the level it is created in.
        f->selectRow(2);
        QTest::keyClicks(f.table()->nameEditor(2), QStringLiteral("new"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 30000);
        draft = readDraft(path);
        QCOMPARE(draft.itemId, 0);
        QCOMPARE(draft.parentId, 0);
        QCOMPARE(draft.blocks.size(), f->detailPanel()->contentBlocks().size());
        f->cancelCurrent();
        QVERIFY(!QFile::exists(path));

        // A clean close deletes a left-over file.
        QFile(path).open(QIODevice::WriteOnly);
        QVERIFY(f->close());
        QVERIFY(!QFile::exists(path));
    }

    void restorePromptAtStart()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2) + level(1, 2, 10, QStringLiteral("子"))));
        RecoveryDraftStore store(f->database().rootPath);
        const QString path = store.path();

        // Yes: the stored item comes back in its own level, changed and unsaved.
        RecoveryDraft draft;
        draft.itemId = 10;
        draft.parentId = 99; // not used for a stored item
        draft.name = QStringLiteral("恢复的名称");
        draft.content = QStringLiteral("内容");
        draft.remark = QStringLiteral("备注");
        draft.blocks = {note(QStringLiteral("<p>recovered note</p>"))};
        QVERIFY(store.write(draft));
        SeenBox seen;
        auto box = answerNextMessageBox(QString(), QMessageBox::Yes, &seen);
        restart(f);
        QTRY_VERIFY_WITH_TIMEOUT(f->isDirty(), 30000);
        QCOMPARE(seen.title, QStringLiteral("恢复编辑"));
        QCOMPARE(seen.text, QStringLiteral("检测到上次未保存的编辑，是否恢复？"));
        QCOMPARE(f->currentParent(), 2);
        QCOMPARE(f->selectedItem(), 10);
        const int row = f->currentRowIndex();
        QCOMPARE(f.table()->nameEditor(row)->text(), draft.name);
        QCOMPARE(f.table()->remarkEditor(row)->text(), draft.remark);
        QVERIFY(f->detailPanel()->contentBlocks().value(0).value.contains("recovered note"));
        QVERIFY(QFile::exists(path)); // stays until saved or cancelled
        f->saveCurrent();
        QCOMPARE(f->repository().get(10).here, draft.name);
        QVERIFY(!QFile::exists(path));

        // A never-saved item becomes a new draft row under its level.
        draft.itemId = 0;
        draft.parentId = 2;
        QVERIFY(store.write(draft));
        box = answerNextMessageBox(QString(), QMessageBox::Yes);
        restart(f);
        QTRY_VERIFY_WITH_TIMEOUT(f->isDirty(), 30000);
        QCOMPARE(f->currentParent(), 2);
        QCOMPARE(f->draftRowIndex(), f->currentRowIndex());
        QCOMPARE(f.table()->nameEditor(f->currentRowIndex())->text(), draft.name);
        f->saveCurrent();
        QCOMPARE(f->repository().byParent(2).size(), 2);

        // No: the signature is remembered and the same file is later dropped without a question.
        QVERIFY(store.write(draft));
        const QString signature = RecoveryDraftStore::signature(readAll(path));
        seen = {};
        box = answerNextMessageBox(QString(), QMessageBox::No, &seen);
        restart(f);
        QTRY_COMPARE_WITH_TIMEOUT(seen.count, 1, 30000);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(RecoveryDraftStore::dismissedSignature(), signature);
        QVERIFY(!f->isDirty());

        // Dismissed, another format, a deleted item: deleted without a question.
        auto noQuestion = [&](const QByteArray &bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
            file.close();
            restart(f);
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(path), 30000);
            QVERIFY(!qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
            QVERIFY(!f->isDirty());
        };
        noQuestion(RecoveryDraftStore::encode(draft));
        noQuestion(R"({"format":"velto-recovery-draft-v2","itemId":10})");
        draft.itemId = 12345;
        draft.name = QStringLiteral("gone");
        const QByteArray orphan = RecoveryDraftStore::encode(draft);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(orphan) == orphan.size());
        file.close();
        box = answerNextMessageBox(QString(), QMessageBox::Yes);
        restart(f);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(path), 30000);
        QVERIFY(!f->isDirty());
    }

    void exportAndImportThroughTheWindow()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2) + level(1, 1, 10, QStringLiteral("子"))));
        QVERIFY(f->service().replaceContentBlocks(10, {note(QStringLiteral("n"))}, nullptr));
        f.reload();
        const QString path = f.root.filePath(QStringLiteral("out.velto.json"));

        QString title;
        auto dialog = answerNextFileDialog(path, &title);
        QTest::mouseClick(f->commandButtons().exportItems, Qt::LeftButton);
        QCOMPARE(title, QStringLiteral("导出数据"));
        QCOMPARE(label(f), QStringLiteral("已导出 3 个条目"));
        QVERIFY(readAll(path).contains("velto-export-v1"));

        // Dialog cancelled, question answered No: nothing happens.
        dialog = answerNextFileDialog(QString());
        f->importItems();
        dialog = answerNextFileDialog(path, &title);
        SeenBox seen;
        auto box = answerNextMessageBox(QString(), QMessageBox::No, &seen);
        f->importItems();
        QCOMPARE(title, QStringLiteral("导入数据"));
        QCOMPARE(seen.title, QStringLiteral("导入"));
        QCOMPARE(seen.text, QStringLiteral("将追加导入 3 个条目，现有内容不会被覆盖。继续吗？"));
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), 3);

        // Yes: appended and shown at the top level.
        f->enterItem(1);
        dialog = answerNextFileDialog(path);
        box = answerNextMessageBox(QString(), QMessageBox::Yes);
        f->importItems();
        QCOMPARE(label(f), QStringLiteral("已导入 3 个条目"));
        QCOMPARE(f->currentParent(), 0);
        QVERIFY(f->navigationHistory().isEmpty());
        QCOMPARE(f->levelItems().size(), 4);
        QCOMPARE(f->selectedItem(), 12); // the last top-level entry written
        QCOMPARE(f->service().contentBlocks(13).value(0).value, QStringLiteral("n"));
        // The sidebar's tree shows the imported items beside the old ones.
        const auto *tree = f->navigation()->findChild<QTreeWidget *>();
        QCOMPARE(tree->topLevelItemCount(), 4);
        QCOMPARE(tree->topLevelItem(3)->data(0, Qt::UserRole).toLongLong(), 12);

        // A refused file: the warning with its text, the database unchanged.
        QFile bad(f.root.filePath(QStringLiteral("bad.json")));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("{\"format\":\"x\"}") > 0);
        bad.close();
        dialog = answerNextFileDialog(bad.fileName());
        box = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        f->importItems();
        QCOMPARE(seen.title, QStringLiteral("Velto"));
        QCOMPARE(seen.text, QStringLiteral("不是有效的 Velto 导出文件。"));
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), 6);

        // Nothing while a row has unsaved edits.
        QTest::keyClicks(f.table()->nameEditor(0), QStringLiteral("x"));
        QVERIFY(f->isDirty() && !f->commandButtons().importItems->isEnabled());
        f->importItems();
        f->exportItems();
        QVERIFY(!qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
    }

    // The dialog's choice follows the command line's rule: a pipe at the target is left alone.
    void exportRefusesWhatIsNotARegularFile()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2)));
        f.reload();
        const QString fifo = f.root.filePath(QStringLiteral("pipe.velto.json"));
        QCOMPARE(QProcess::execute(QStringLiteral("mkfifo"), {fifo}), 0);
        SeenBox seen;
        const auto dialog = answerNextFileDialog(fifo);
        const auto replace = answerNextMessageBox(QString(), QMessageBox::Yes); // "replace it?"
        const auto warning = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        f->exportItems();
        QCOMPARE(seen.text, QStringLiteral("目标已存在且不是普通文件，未写入：") + fifo);
        QVERIFY(QFileInfo::exists(fifo) && !QFileInfo(fifo).isFile());
    }

    // A file over the inline limit leaves its items' index rows to the build the window starts.
    void largeImportIndexesInTheBackground()
    {
        WindowFixture f;
        QTRY_VERIFY2_WITH_TIMEOUT(
            f->search()->isIndexComplete(), "the index was never complete at start", 60000);
        QJsonArray items;
        for (int i = 1; i <= 300; ++i) {
            const QString text = i == 7 ? QStringLiteral("<p>独一无二</p>") : QString(16000, 'f');
            items.append(QJsonObject {{"id", i}, {"parentId", 0}, {"name", "m"}, {"content", ""},
                {"remark", ""}, {"favorite", false}, {"description", ""},
                {"blocks", QJsonArray {QJsonObject {{"type", 0}, {"value", text}}}}});
        }
        const QString path = f.root.filePath(QStringLiteral("large.velto.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QJsonDocument(QJsonObject {{"format", "velto-export-v1"}, {"items", items}}).toJson());
        file.close();
        auto dialog = answerNextFileDialog(path);
        auto box = answerNextMessageBox(QString(), QMessageBox::Yes);
        f->importItems();
        QCOMPARE(label(f), QStringLiteral("已导入 300 个条目"));
        // The build runs at a low priority: on a busy machine it gets little of the processor.
        QTRY_VERIFY2_WITH_TIMEOUT(f->search()->isIndexComplete() && !f->search()->isBuilding(),
            "the background build of the index never completed", 120000);
        QCOMPARE(f->search()->searchContent(QStringLiteral("独一无二"), {}).size(), 1);
    }

    void cancellingTheProgressChangesNothing()
    {
        WindowFixture f;
        QVERIFY(insertItems(balancedTree(5000)));
        f.reload();
        f->interchange()->progressDelayMs = 0;
        const QString path = f.root.filePath(QStringLiteral("big.velto.json"));
        QVERIFY(ExportDocument::write(const_cast<Database *>(&f->database()), path).ok);
        const QByteArray before = readAll(path);
        const qint64 count = scalar(QStringLiteral("SELECT COUNT(*) FROM data_items"));
        const qint64 blocks = scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks"));

        bool seen = false;
        auto dialog = answerNextFileDialog(path);
        auto box = answerNextMessageBox(QString(), QMessageBox::Yes);
        auto progress = cancelNextProgress(&seen);
        f->importItems();
        QVERIFY(seen);
        QCOMPARE(label(f), QStringLiteral("已取消，数据未改变。"));
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), count);
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks")), blocks);
        QVERIFY(!f->interchange()->isBusy());

        // Over the same file, with the overwrite question answered: the old file stays.
        QSqlQuery(f.db()).exec(QStringLiteral("UPDATE data_items SET here = 'changed'"));
        seen = false;
        dialog = answerNextFileDialog(path);
        box = answerNextMessageBox(QString(), QMessageBox::Yes);
        progress = cancelNextProgress(&seen);
        f->exportItems();
        QVERIFY(seen);
        QCOMPARE(label(f), QStringLiteral("已取消，数据未改变。"));
        QCOMPARE(readAll(path), before);
    }

    void dailyBackupAndItsFailure()
    {
        WindowFixture f;
        DatabaseBackup *backup = f->interchange()->backup();
        QVERIFY(backup);
        const QString dir = backup->backupDirectory();
        const QString today = QDir(dir).filePath(DatabaseBackup::fileNameFor(QDate::currentDate()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(today), 10000);

        // A backup folder that cannot be made: said once in the status bar, the window goes on.
        f.window.reset();
        QDir(dir).removeRecursively();
        QFile blocker(dir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        restart(f);
        QTRY_VERIFY_WITH_TIMEOUT(label(f).startsWith(QStringLiteral("自动备份失败：")), 10000);
        QVERIFY(f->isWorkspaceReady());
    }
};

VELTO_TEST_MAIN(TestInterchangeWindow)
#include "tst_interchange_window.moc"
