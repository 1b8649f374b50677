#include "DatabaseCheck.h"
#include "DatabaseDamage.h"
#include "DatabaseGuard.h"
#include "ItemTable.h"
#include "MainWindow.h"
#include "MainWindowTestSupport.h"
#include "TestSupport.h"
#include "UiMetrics.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void metricsAreIdentity()
    {
        UiMetrics::initialize();
        for (int n : {0, -3, 1040})
            QCOMPARE(UiMetrics::px(n), n);
        QCOMPARE(UiMetrics::scaleFactor(), 1);
        QVERIFY(!UiMetrics::usesLargeLayout());
    }

    void windowOpensStorageAndCloses()
    {
        QTemporaryDir root;
        qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(root.path()));
        {
            MainWindow window;
            QVERIFY(window.isWorkspaceReady());
            QCOMPARE(window.windowTitle(), QStringLiteral("Velto - 日常及业务助手"));
            QCOMPARE(window.size(), QSize(1040, 680));
            QVERIFY(!window.windowIcon().isNull());
            QCOMPARE(window.database().connectionName, QStringLiteral("velto-main"));
            QCOMPARE(window.database().rootPath, QDir(root.path()).absolutePath());
            QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("data/velto.db"))));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(window.close());
            QVERIFY(!window.isVisible());
        }
        qunsetenv("VELTO_STORAGE_ROOT");
    }

    // The window is up before every page has been read; damage found then is told to the user,
    // every later save is refused in Chinese with the database's words, and the file itself
    // never changes.
    void damageFoundAfterStartTurnsTheWindowReadOnly()
    {
        using namespace velto::test;
        QTemporaryDir root;
        const QString file = root.filePath(QStringLiteral("data/velto.db"));
        qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(root.path()));
        {
            MainWindow first; // creates the file and ends cleanly
            QVERIFY(first.isWorkspaceReady());
        }
        QVERIFY(plantHiddenDamage(file));
        QVERIFY(QFile::remove(CheckSchedule(file).checkedPath())); // the check is due
        const QByteArray before = fileHash(file);
        {
            SeenBox told;
            const auto answer1 = answerNextMessageBox(QString(), QMessageBox::Ok, &told);
            MainWindow window;
            QVERIFY(window.isWorkspaceReady()); // the cheap checks cannot see the damage
            window.show();
            QTRY_COMPARE_WITH_TIMEOUT(told.count, 1, 30000);
            QCOMPARE(told.title, QStringLiteral("Velto"));
            QVERIFY2(told.text.contains(QStringLiteral("已切换为只读"))
                    && told.text.contains(QStringLiteral("已损坏")),
                qPrintable(told.text));
            QCOMPARE(window.databaseGuard()->state(), DatabaseGuard::State::Damaged);
            QVERIFY(window.statusLabel()->text().contains(QStringLiteral("只读")));

            QTRY_VERIFY(window.currentRowIndex() >= 0);
            const int row = window.currentRowIndex();
            window.table()->nameEditor(row)->setText(QStringLiteral("不会保存"));
            window.rowTextChanged(row);
            SeenBox refused;
            const auto answer2 = answerNextMessageBox(QString(), QMessageBox::Ok, &refused);
            window.saveCurrent();
            QTRY_COMPARE(refused.count, 1);
            QVERIFY2(refused.text.startsWith(QStringLiteral("保存失败：数据库处于只读状态 ("))
                    && refused.text.contains(QStringLiteral("readonly")),
                qPrintable(refused.text));
            QVERIFY(window.isDirty()); // the edit stays open
        }
        qunsetenv("VELTO_STORAGE_ROOT");
        QCOMPARE(fileHash(file), before);
        QVERIFY(CheckSchedule(file).isDue()); // checked again at the next start
    }

    void unopenableDatabaseShowsOneCriticalBox()
    {
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("data/velto.db"))));
        qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(root.path()));
        int boxes = 0;
        QString title;
        QString text;
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                ++boxes;
                title = box->windowTitle();
                text = box->text();
                QCOMPARE(box->icon(), QMessageBox::Critical);
                box->accept();
            }
        });
        closer.start();
        {
            MainWindow window;
            QVERIFY(!window.isWorkspaceReady());
            QTest::qWait(100);
            QCOMPARE(boxes, 1);
            QCOMPARE(title, QStringLiteral("Velto"));
            QVERIFY(!text.isEmpty());
            QVERIFY(window.centralWidget() == nullptr); // nothing is built
            window.show();
            QVERIFY(window.close());
        }
        qunsetenv("VELTO_STORAGE_ROOT");
    }

    void programStartsAndStopsCleanly()
    {
        QTemporaryDir root;
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELTO_STORAGE_ROOT"), root.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        // Qt's own options are Qt's: the window starts with them.
        program.start(
            QStringLiteral(VELTO_EXECUTABLE), {QStringLiteral("-style"), QStringLiteral("Fusion")});
        QVERIFY(program.waitForStarted());
        const QString file = root.filePath(QStringLiteral("data/velto.db"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(file), 20000);
        QTest::qWait(300);
        QCOMPARE(program.state(), QProcess::Running);
        program.terminate(); // the window closes the way the user would close it
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    // A stop request ends the program whenever it comes; most often here while the start-up
    // error box is open (the root is a regular file), where it once was ignored.
    void stopEndsTheProgramAtStartUpError()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("plain-file"));
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELTO_STORAGE_ROOT"), file);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(VELTO_EXECUTABLE), {});
        QVERIFY(program.waitForStarted());
        QTest::qWait(1500); // usually enough for the box to be up; the check holds either way
        program.terminate();
        QVERIFY2(program.waitForFinished(30000), "the program ignored SIGTERM");
    }
};

VELTO_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
