#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Runs the program without any display: creating a GUI application would abort it (unless the
// platform is "offscreen").
Outcome runVelto(const QString &root, const QStringList &arguments,
    const QString &platform = QStringLiteral("xcb"))
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELTO_STORAGE_ROOT"), root);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VELTO_EXECUTABLE), arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()).trimmed(),
        QString::fromUtf8(process.readAllStandardError()).trimmed()};
}

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void exportImportBackupAndHelp()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("root"));
        const QString file = dir.filePath(QStringLiteral("tree.velto.json"));

        Outcome run = runVelto(root, {QStringLiteral("--help")});
        QCOMPARE(run.code, 0);
        for (const char *option : {"--export", "--import", "--backup", "--search"})
            QVERIFY(run.out.contains(QLatin1String(option)));

        run = runVelto(root, {QStringLiteral("--export"), file});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("已导出 8 个条目"));
        run = runVelto(root, {QStringLiteral("--import"), file});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("已导入 8 个条目"));

        // A refusal: the window's message on standard error, exit 1, nothing written.
        QFile bad(dir.filePath(QStringLiteral("bad.json")));
        QVERIFY(bad.open(QIODevice::WriteOnly)
            && bad.write(R"({"format":"velto-export-v1","items":[5]})") > 0);
        bad.close();
        run = runVelto(root, {QStringLiteral("--import"), bad.fileName()});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, QStringLiteral("导入文件包含无效条目。"));
        QVERIFY(run.out.isEmpty());

        const QString copy = dir.filePath(QStringLiteral("copy.db"));
        run = runVelto(root, {QStringLiteral("--backup"), copy});
        QCOMPARE(run.code, 0);
        QFile backup(copy);
        QVERIFY(backup.open(QIODevice::ReadOnly));
        QVERIFY(backup.read(16).startsWith("SQLite format 3"));
        // The copy is a database of its own, holding the doubled tree.
        run = runVelto(root, {QStringLiteral("--export"), file});
        QCOMPARE(run.out, QStringLiteral("已导出 16 个条目"));

        run = runVelto(
            root, {QStringLiteral("--backup"), dir.filePath(QStringLiteral("no/dir/x.db"))});
        QCOMPARE(run.code, 1);
        QVERIFY(!run.err.isEmpty());
        run = runVelto(root, {QStringLiteral("--export"), file, QStringLiteral("--import"), file});
        QCOMPARE(run.code, 1);
    }

    // A folder, a pipe or a device at the target is refused and left alone; "-" is standard output.
    void targetsThatAreNotRegularFiles()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("root"));
        const QString fifo = dir.filePath(QStringLiteral("pipe"));
        QCOMPARE(QProcess::execute(QStringLiteral("mkfifo"), {fifo}), 0);
        for (const QString &option : {QStringLiteral("--export"), QStringLiteral("--backup")}) {
            for (const QString &target : {fifo, dir.path()}) {
                const Outcome run = runVelto(root, {option, target});
                QCOMPARE(run.code, 1);
                QCOMPARE(run.err, QStringLiteral("目标已存在且不是普通文件，未写入：") + target);
                QVERIFY(run.out.isEmpty());
            }
        }
        QVERIFY(!QFileInfo(fifo).isFile() && QFileInfo::exists(fifo)); // still the pipe
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty()); // no leftovers

        const Outcome run = runVelto(root, {QStringLiteral("--export"), QStringLiteral("-")});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.startsWith(QLatin1Char('{')) && run.out.contains("velto-export-v1"));
        QCOMPARE(run.err, QStringLiteral("已导出 8 个条目"));
    }

    // One line naming the option and pointing at --help, exit 2; Qt's own options pass.
    void unknownOptionsAreRefused()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("root"));
        const QString offscreen = QStringLiteral("offscreen");
        const QString pointer = QStringLiteral("。运行 velto --help 查看可用的选项。");
        const struct {
            QStringList arguments;
            QString named;
        } cases[] = {
            {{QStringLiteral("--serch"), QStringLiteral("x")},
                QStringLiteral("未知的选项“--serch”")},
            {{QStringLiteral("-platform"), offscreen, QStringLiteral("-style"),
                 QStringLiteral("Fusion"), QStringLiteral("--bogus=1")},
                QStringLiteral("未知的选项“--bogus”")},
            {{QStringLiteral("notes.txt")}, QStringLiteral("多余的参数“notes.txt”")},
            {{QStringLiteral("--export"), QStringLiteral("x"), QStringLiteral("--serch")},
                QStringLiteral("未知的选项“--serch”")},
        };
        for (const auto &c : cases) {
            const Outcome run = runVelto(root, c.arguments, offscreen);
            QCOMPARE(run.code, 2);
            // The last line: Qt may warn about its own set-up before.
            QCOMPARE(run.err.section(QLatin1Char('\n'), -1),
                QStringLiteral("velto：") + c.named + pointer);
            QVERIFY(!QFileInfo::exists(root)); // nothing was opened
        }
        const Outcome missing = runVelto(root, {QStringLiteral("--export")});
        QCOMPARE(missing.code, 2);
        QVERIFY(missing.err.endsWith(pointer) && !missing.err.contains(QLatin1Char('\n')));
    }

    // Items imported by one run are found by the next, by name first, then by their note.
    void searchPrintsMatchingItems()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("root"));
        QFile file(dir.filePath(QStringLiteral("notes.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"format":"velto-export-v1","items":[
            {"id":1,"parentId":0,"name":"买菜\t清单","content":"","remark":"","favorite":false,
             "description":"","blocks":[{"type":0,"value":"<p>西红柿 tomato</p>"}]},
            {"id":2,"parentId":0,"name":"西红柿炒蛋","content":"家常","remark":"",
             "favorite":false,"description":"","blocks":[]}]})");
        file.close();
        QCOMPARE(runVelto(root, {QStringLiteral("--import"), file.fileName()}).code, 0);

        Outcome run = runVelto(root, {QStringLiteral("--search"), QStringLiteral("西红柿")});
        QCOMPARE(run.code, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0).endsWith(QStringLiteral("\t西红柿炒蛋\t家常")));
        QVERIFY(lines.at(1).contains(QStringLiteral("\t买菜 清单\t"))); // tab inside a name
        QVERIFY(lines.at(1).contains(QStringLiteral("西红柿 tomato")));
        QCOMPARE(runVelto(root, {QStringLiteral("--search=TOMATO")}).out.count('\n'), 0);
        QCOMPARE(runVelto(root, {QStringLiteral("--search=TOMATO")}).code, 0);

        for (const char *text : {"\"西红", "茄子", "*", "tomato NOT x"})
            QCOMPARE(runVelto(root, {QStringLiteral("--search"), QString::fromUtf8(text)}).code, 1);
    }
};

VELTO_TEST_MAIN_CORE(CommandLineTest)
#include "tst_commandline.moc"
