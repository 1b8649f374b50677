#include "CommandLine.h"

#include "DataItemRepository.h"
#include "Database.h"
#include "DatabaseBackup.h"
#include "ExportDocument.h"
#include "ImportTransaction.h"
#include "SearchCommand.h"
#include "SearchIndexObserver.h"
#include "StorageErrorText.h"
#include "SyncCommand.h"
#include "SyncJournal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cstring>

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = (text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int failWith(const QString &text)
{
    print(stderr, text);
    return 1;
}

// A wrong command line: one line naming what is wrong and where to look, exit 2.
int usageError(const QString &what)
{
    print(stderr,
        QStringLiteral("velto：") + what + QStringLiteral("。运行 velto --help 查看可用的选项。"));
    return 2;
}

QString optionText(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

bool openDatabase(Database &database)
{
    const QString rootOverride = qEnvironmentVariable("VELTO_STORAGE_ROOT");
    if (!rootOverride.isEmpty())
        database.setRootOverride(rootOverride);
    QString error;
    if (database.open(&error))
        return true;
    failWith(error);
    return false;
}

// "-" writes the document to standard output; the count then goes to standard error.
int exportTo(Database &database, const QString &path)
{
    if (path == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return failWith(out.errorString());
        const ExportDocument::Result result = ExportDocument::writeTo(&database, &out);
        out.flush();
        if (!result.ok)
            return failWith(result.error);
        print(stderr, interchange::exportedMessage(result.count));
        return 0;
    }
    const ExportDocument::Result result = ExportDocument::write(&database, path);
    if (!result.ok)
        return failWith(storageErrorText(QStringLiteral("导出失败"), result.error));
    print(stdout, interchange::exportedMessage(result.count));
    return 0;
}

int importFrom(Database &database, const QString &path)
{
    ImportTransaction import(&database);
    QString error;
    if (!import.load(path, &error) || !import.run(&error))
        return failWith(storageErrorText(QStringLiteral("导入失败"), error));
    print(stdout, interchange::importedMessage(import.importedCount()));
    return 0;
}

int backupTo(Database &database, const QString &path)
{
    QString error;
    if (!DatabaseBackup::writeCopy(
            Database::databaseFilePath(database.rootPath), QDir(path).absolutePath(), &error))
        return failWith(error);
    print(
        stdout, QStringLiteral("已备份到 ") + QDir::toNativeSeparators(QDir(path).absolutePath()));
    return 0;
}

} // namespace

bool isCommandLineInvocation(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        for (const char *option : {"--export", "--import", "--backup", "--search", "--sync",
                 "--sync-url", "--help", "-h", "-?", "--help-all"}) {
            const size_t length = std::strlen(option);
            if (std::strncmp(arg, option, length) == 0 && (arg[length] == 0 || arg[length] == '='))
                return true;
        }
    }
    return false;
}

int runCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velto"));
    QCoreApplication::setOrganizationName(QStringLiteral("Velto"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Velto：不打开窗口地导出、导入、备份或搜索数据。数据位置与窗口相同，"
                       "设置 VELTO_STORAGE_ROOT 可指定其他位置。"));
    const QCommandLineOption exportOption(QStringLiteral("export"),
        QStringLiteral("把全部条目导出到 JSON 文件 <PATH>；<PATH> 为 - 时写到标准输出。"),
        QStringLiteral("PATH"));
    const QCommandLineOption importOption(QStringLiteral("import"),
        QStringLiteral("把导出文件 <PATH> 中的条目追加导入，不询问。"), QStringLiteral("PATH"));
    const QCommandLineOption backupOption(QStringLiteral("backup"),
        QStringLiteral("把数据库的一致副本写到 <PATH>。"), QStringLiteral("PATH"));
    const QCommandLineOption searchOption(QStringLiteral("search"),
        QStringLiteral(
            "列出名称或内容含有 <TEXT> 的条目，每行一个：编号、名称、摘录，以制表符分隔。"
            "有结果时退出码为 0，没有为 1，出错为 2。"),
        QStringLiteral("TEXT"));
    const QCommandLineOption syncOption(QStringLiteral("sync"),
        QStringLiteral(
            "与设置中的同步服务器同步一次，并报告发送和接收了什么。环境变量 "
            "VELTO_SYNC_USER、VELTO_SYNC_PASSWORD、VELTO_SYNC_PASSPHRASE 可临时替换账号、"
            "密码和加密口令（不会保存）。"));
    const QCommandLineOption syncUrlOption(QStringLiteral("sync-url"),
        QStringLiteral(
            "与 --sync 一起使用：这次改用同步地址 <URL>（WebDAV 地址，或 file:// 文件夹）。"),
        QStringLiteral("URL"));
    parser.addOption(exportOption);
    parser.addOption(importOption);
    parser.addOption(backupOption);
    parser.addOption(searchOption);
    parser.addOption(syncOption);
    parser.addOption(syncUrlOption);
    parser.addHelpOption();
    if (!parser.parse(QCoreApplication::arguments())) {
        const QStringList unknown = parser.unknownOptionNames();
        return usageError(unknown.isEmpty()
                ? QStringLiteral("命令行有误（") + parser.errorText() + QStringLiteral("）")
                : QStringLiteral("未知的选项“") + optionText(unknown.first())
                    + QStringLiteral("”"));
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        print(stdout, parser.helpText().trimmed());
        return 0;
    }
    const int chosen = int(parser.isSet(exportOption)) + int(parser.isSet(importOption))
        + int(parser.isSet(backupOption)) + int(parser.isSet(searchOption))
        + int(parser.isSet(syncOption));
    if (chosen != 1 || !parser.positionalArguments().isEmpty())
        return failWith(
            QStringLiteral("请只给出 --export、--import、--backup、--search 或 --sync 中的一个。\n")
            + parser.helpText().trimmed());
    if (parser.isSet(syncUrlOption) && !parser.isSet(syncOption))
        return failWith(QStringLiteral("--sync-url 只能与 --sync 一起使用。"));
    if (parser.isSet(syncOption)) {
        SearchIndexObserver::install();
        SyncJournal::install();
        QTextStream out(stdout);
        QTextStream err(stderr);
        return runSyncCommand(parser.value(syncUrlOption), out, err);
    }
    if (parser.isSet(searchOption)) {
        QTextStream out(stdout);
        QTextStream err(stderr);
        return runSearchCommand(parser.value(searchOption), out, err);
    }

    SearchIndexObserver::install();
    SyncJournal::install();
    Database database(QStringLiteral("velto-command-line"));
    if (!openDatabase(database))
        return 1;
    int code = 0;
    if (parser.isSet(exportOption))
        code = exportTo(database, parser.value(exportOption));
    else if (parser.isSet(importOption))
        code = importFrom(database, parser.value(importOption));
    else
        code = backupTo(database, parser.value(backupOption));
    database.close();
    return code;
}

int refuseWindowArguments(const QStringList &arguments)
{
    for (const QString &argument : arguments.mid(1)) {
        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1)
            return usageError(QStringLiteral("未知的选项“")
                + argument.section(QLatin1Char('='), 0, 0) + QStringLiteral("”"));
        return usageError(QStringLiteral("多余的参数“") + argument + QStringLiteral("”"));
    }
    return 0;
}
