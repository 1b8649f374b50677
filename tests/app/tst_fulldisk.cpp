// A full disk (or a database at its size limit) loses nothing: every write fails cleanly, the
// edit stays open, the database stays intact, and files written beside it stay as they were.
#include "CompactActionButton.h"
#include "ExportDocument.h"
#include "InterchangeController.h"
#include "InterchangeTestSupport.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "RecoveryDraftStore.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>

using namespace velto::test;

namespace {

const QString fullText = QStringLiteral("database or disk is full");

ContentBlock note(const QString &html)
{
    ContentBlock block;
    block.type = ContentBlock::Text;
    block.value = html;
    return block;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The rows of both item tables, to compare before and after a refused write.
QString snapshot()
{
    QSqlQuery query(WindowFixture::db());
    QString out;
    query.exec(QStringLiteral("SELECT iid, pid, sortid, here, cont, remark FROM data_items ORDER "
                              "BY iid"));
    while (query.next())
        out += query.value(0).toString() + '/' + query.value(1).toString() + '/'
            + query.value(2).toString() + '/' + query.value(3).toString() + '/'
            + query.value(4).toString() + '/' + query.value(5).toString() + '\n';
    query.exec(QStringLiteral("SELECT item_iid, sortid, length(value) FROM content_blocks ORDER "
                              "BY item_iid, sortid"));
    while (query.next())
        out += query.value(0).toString() + ':' + query.value(1).toString() + ':'
            + query.value(2).toString() + '\n';
    return out;
}

} // namespace

class TestFullDisk : public QObject {
    Q_OBJECT

    // Runs `act` with the database full: exactly one warning "Velto" carrying the database's
    // text, the tables as they were, the database intact.
    static void refused(const std::function<void()> &act)
    {
        QVERIFY(fillDatabase() > 0);
        const QString before = snapshot();
        SeenBox seen;
        const auto warning = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        act();
        QVERIFY(warning.answered());
        QCOMPARE(seen.count, 1);
        QCOMPARE(seen.title, QStringLiteral("Velto"));
        QVERIFY2(seen.text.contains(fullText), qPrintable(seen.text));
        QCOMPARE(snapshot(), before);
        QCOMPARE(integrityCheck(), QStringLiteral("ok"));
        QSqlQuery(WindowFixture::db()).exec(QStringLiteral("PRAGMA max_page_count = 1073741823"));
    }

private slots:
    void init() { QSettings().clear(); }

    void everyWriteFailsCleanly()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3) + level(2, 1, 10, QStringLiteral("子"));
        for (int k = 0; k < 300; ++k) // enough rows that a branch's index entries span pages
            tree += level(1, 2, 100 + k, QStringLiteral("填充%1-").arg(k));
        for (int k = 0; k < 300; ++k)
            tree.last().sortid = 0;
        QVERIFY(insertItems(tree));
        QVERIFY(f->service().replaceContentBlocks(1, {note(QStringLiteral("short"))}, nullptr));
        f.reload();

        // Saving an item with a large note: the edit stays open with its values.
        QLineEdit *name = f.table()->nameEditor(0);
        name->setText(QStringLiteral("renamed"));
        f->rowTextChanged(0);
        f->detailPanel()->setContentBlocks({note(bigNote())});
        f->detailChanged();
        refused([&] { f->saveCurrent(); });
        QVERIFY(f->isDirty());
        QCOMPARE(name->text(), QStringLiteral("renamed"));
        QVERIFY(f->detailPanel()->contentBlocks().value(0).value.size() > 1000000);
        f->cancelCurrent();

        // Replacing content blocks alone.
        refused([&] {
            QString error;
            QVERIFY(!f->service().replaceContentBlocks(1, {note(bigNote())}, &error));
            f->showError(error);
        });
        QCOMPARE(f->service().contentBlocks(1).value(0).value, QStringLiteral("short"));

        // Creating a child whose row needs a new page: the draft row stays, nothing is stored.
        f->selectRow(0);
        f->addChild();
        f.settle();
        const int draft = f->draftRowIndex();
        QVERIFY(draft >= 0);
        f.table()->contentEditor(draft)->setText(QString(6000, QChar('x')));
        f->rowTextChanged(draft);
        refused([&] { f->saveCurrent(); });
        QCOMPARE(f->draftRowIndex(), draft);
        QVERIFY(f->isDirty());
        f->cancelCurrent();

        // Moving an item into a branch whose index entries fill their pages.
        f->returnToParent();
        f.settle();
        f->selectRow(0);
        f->cutSelected();
        f->enterItem(2);
        f.settle();
        refused([&] { f->pasteCutItem(); });
        QCOMPARE(f->repository().get(1).pid, 0);
        QCOMPARE(f->cutItem(), 1); // still cut, can be tried again
    }

    void importIntoAFullDatabase()
    {
        WindowFixture f;
        QVERIFY(insertItems(balancedTree(200)));
        f.reload();
        const QString path = f.root.filePath(QStringLiteral("all.velto.json"));
        QVERIFY(ExportDocument::write(const_cast<Database *>(&f->database()), path).ok);
        const auto dialog = answerNextFileDialog(path);
        const auto question = answerNextMessageBox(QString(), QMessageBox::Yes);
        refused([&] { f->importItems(); });
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), 200);
    }

    // Export and draft into a place that cannot take them: a folder replaced by a regular file
    // (fails for root too) and, where a small file system can be mounted, a full one.
    void filesBesideTheDatabaseStayAsTheyWere()
    {
        WindowFixture f;
        QVERIFY(insertItems(balancedTree(50)));
        f.reload();
        const QString notAFolder = f.root.filePath(QStringLiteral("file"));
        QVERIFY(writeFile(notAFolder, "x"));
        SeenBox seen;
        const auto dialog = answerNextFileDialog(notAFolder + QStringLiteral("/out.velto.json"));
        auto warning = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        warning.optional();
        f->exportItems();
        // Either the dialog refuses the path itself or the export warns with the file's error.
        QVERIFY(seen.count <= 1);
        QVERIFY(!QFile::exists(notAFolder + QStringLiteral("/out.velto.json")));
        QCOMPARE(readAll(notAFolder), QByteArray("x"));

        RecoveryDraftStore blocked(notAFolder);
        QVERIFY(!blocked.write(RecoveryDraft()));
        QCOMPARE(readAll(notAFolder), QByteArray("x"));

        // A 64 KiB tmpfs, filled up except for the old files.
        const QString mountPoint = f.root.filePath(QStringLiteral("small"));
        QDir().mkpath(mountPoint);
        if (QProcess::execute(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                    QStringLiteral("size=64k"), QStringLiteral("tmpfs"), mountPoint})
            != 0)
            QSKIP("cannot mount a small tmpfs here (needs root and mount rights); the full "
                  "file system case is not tested");
        const auto unmount
            = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {mountPoint}); });
        const QString exportPath = mountPoint + QStringLiteral("/old.velto.json");
        QVERIFY(writeFile(exportPath, "old export"));
        RecoveryDraftStore store(mountPoint);
        RecoveryDraft draft;
        draft.name = QStringLiteral("old draft");
        QVERIFY(store.write(draft));
        const QByteArray oldDraft = readAll(store.path());
        QFile filler(mountPoint + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (int k = 0; k < 1000 && filler.write(QByteArray(1024, 'f')) == 1024; ++k) { }
        filler.close();
        draft.blocks = {note(bigNote())};
        QVERIFY(!store.write(draft));
        QCOMPARE(readAll(store.path()), oldDraft);

        seen = {};
        const auto again = answerNextFileDialog(exportPath);
        // The dialog asks whether to replace the old file; then comes the export's warning.
        const auto replace = answerNextMessageBox(QString(), QMessageBox::Yes);
        const auto full = answerNextMessageBox(QString(), QMessageBox::Ok, &seen);
        f->exportItems();
        QCOMPARE(seen.count, 1);
        QCOMPARE(seen.title, QStringLiteral("Velto"));
        QCOMPARE(readAll(exportPath), QByteArray("old export"));
    }
};

VELTO_TEST_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
