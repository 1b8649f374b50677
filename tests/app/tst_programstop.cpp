#include "ExportDocument.h"
#include "InterchangeController.h"
#include "InterchangeTestSupport.h"
#include "MainWindowTestSupport.h"
#include "ProgramStop.h"
#include "RecoveryDraftStore.h"
#include "TestSupport.h"

#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>

#include <csignal>

using namespace velto::test;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A real SIGTERM to this process when the next modal widget of type T appears.
template<typename T> ModalAnswer stopAtNext(const QString &what)
{
    return onNextModal<T>([](T *) { ::raise(SIGTERM); }, what);
}

} // namespace

// A stop request (SIGTERM) arriving while one of the program's boxes or long tasks holds the
// event loop. `quits` counts what would end the program's event loops.
class TestProgramStop : public QObject {
    Q_OBJECT

    int quits = 0;
    std::unique_ptr<ProgramStop> stop;

    // One watcher at a time: a signal handler is process-wide.
    void watch(MainWindow *window)
    {
        stop.reset();
        quits = 0;
        stop = std::make_unique<ProgramStop>([this] { ++quits; });
        stop->setWindow(window);
    }

private slots:
    void init() { QSettings().clear(); }
    void cleanup() { stop.reset(); }

    void stopDuringTheStartUpBox()
    {
        QTemporaryDir root;
        const QString file = root.filePath(QStringLiteral("not-a-folder"));
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(file));
        watch(nullptr);
        {
            const auto box = stopAtNext<QMessageBox>(QStringLiteral("the start-up error box"));
            MainWindow window; // returns only once the box is gone
            QVERIFY(!window.isWorkspaceReady());
        }
        qunsetenv("VELTO_STORAGE_ROOT");
        QVERIFY(stop->requested());
        QCOMPARE(quits, 1);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // The close prompt dismissed by a stop: the edit goes to the draft and the close goes
    // through, unlike "取消". The recovery offer dismissed by a stop: the draft stays on offer.
    void stopDuringTheQuestionsKeepsTheEdit()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(2)));
        f.reload();
        watch(f.window.get());
        f->selectRow(1);
        QTest::keyClicks(f.table()->nameEditor(1), QStringLiteral("x"));
        QVERIFY(f->isDirty());
        {
            const auto prompt = stopAtNext<QMessageBox>(QStringLiteral("the close prompt"));
            QVERIFY(f->close());
        }
        QCOMPARE(quits, 1);
        RecoveryDraft draft;
        QVERIFY(RecoveryDraftStore::decode(readAll(f->recoveryDraftPath()), &draft));
        QCOMPARE(draft.itemId, 2);
        QCOMPARE(draft.name, QStringLiteral("x项2"));
        QCOMPARE(f->repository().get(2).here, QStringLiteral("项2")); // nothing saved

        // The next start offers it; a stop while the offer is open leaves it for the start after.
        const QByteArray onDisk = readAll(f->recoveryDraftPath());
        f.window.reset();
        {
            auto offer = stopAtNext<QMessageBox>(QStringLiteral("the recovery offer"));
            f.window = std::make_unique<MainWindow>();
            watch(f.window.get());
            f->show();
            QVERIFY(offer.wait());
        }
        QCOMPARE(quits, 1);
        QVERIFY(!f->isVisible());
        QCOMPARE(readAll(f->recoveryDraftPath()), onDisk);
        QVERIFY(RecoveryDraftStore::dismissedSignature().isEmpty());
    }

    void stopDuringImportAndExportChangesNothing()
    {
        WindowFixture f;
        QVERIFY(insertItems(balancedTree(3000)));
        f.reload();
        f->interchange()->progressDelayMs = 0;
        const QString path = f.root.filePath(QStringLiteral("big.velto.json"));
        QVERIFY(ExportDocument::write(const_cast<Database *>(&f->database()), path).ok);
        const QByteArray before = readAll(path);
        watch(f.window.get());
        {
            const auto dialog = answerNextFileDialog(path);
            const auto question = answerNextMessageBox(QString(), QMessageBox::Yes);
            const auto progress
                = stopAtNext<QProgressDialog>(QStringLiteral("the import's progress"));
            f->importItems();
        }
        QCOMPARE(quits, 1);
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM data_items")), 3000);
        QVERIFY(!f->interchange()->isBusy());
        QVERIFY(!QApplication::activeModalWidget());

        // The export over the old file, with its own stop.
        f.window.reset();
        f.window = std::make_unique<MainWindow>();
        f->show();
        f->interchange()->progressDelayMs = 0;
        QSqlQuery(f.db()).exec(QStringLiteral("UPDATE data_items SET here = 'changed'"));
        watch(f.window.get());
        {
            const auto dialog = answerNextFileDialog(path);
            const auto replace = answerNextMessageBox(QString(), QMessageBox::Yes);
            const auto progress
                = stopAtNext<QProgressDialog>(QStringLiteral("the export's progress"));
            f->exportItems();
        }
        QCOMPARE(quits, 1);
        QCOMPARE(readAll(path), before);
    }
};

VELTO_TEST_MAIN(TestProgramStop)
#include "tst_programstop.moc"
