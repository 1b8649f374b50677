#include "SyncCommand.h"

#include "Database.h"
#include "FolderTransport.h"
#include "SecretStore.h"
#include "SyncEngine.h"
#include "SyncJournal.h"
#include "SyncSettings.h"
#include "WebDavTransport.h"

#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <memory>

int runSyncCommand(const QString &urlOverride, QTextStream &out, QTextStream &err)
{
    SyncJournal::install();
    Database database(QStringLiteral("velto-command-sync"));
    const QString root = qEnvironmentVariable("VELTO_STORAGE_ROOT");
    if (!root.isEmpty())
        database.setRootOverride(root);
    QString error;
    if (!database.open(&error)) {
        err << error << Qt::endl;
        return 1;
    }
    const QString file = Database::databaseFilePath(database.rootPath);
    database.close();

    datasync::SyncSettings settings = datasync::SyncSettings::load();
    // The stored secrets, unless the environment gives them for this run.
    if (!qEnvironmentVariableIsSet("VELTO_SYNC_PASSWORD"))
        datasync::SecretStore::read(
            QString::fromLatin1(datasync::SecretStore::passwordKey), &settings.password, nullptr);
    if (!qEnvironmentVariableIsSet("VELTO_SYNC_PASSPHRASE"))
        datasync::SecretStore::read(QString::fromLatin1(datasync::SecretStore::passphraseKey),
            &settings.passphrase, nullptr);
    settings.applyEnvironment();
    if (!urlOverride.isEmpty())
        settings.url = urlOverride;
    if (settings.url.trimmed().isEmpty()) {
        err << QStringLiteral(
            "还没有设置同步服务器地址：请在设置页的“同步”中填写，或使用 --sync-url。")
            << Qt::endl;
        return 1;
    }
    std::unique_ptr<datasync::SyncTransport> transport = settings.transport(&error);
    if (!transport) {
        err << error << Qt::endl;
        return 1;
    }
    datasync::SyncEngine engine(file, transport.get());
    engine.setPassphrase(settings.passphrase);
    // For the tests that stop a sync at a given point and kill it there.
    const QString pauseAt = qEnvironmentVariable("VELTO_SYNC_PAUSE_AT");
    if (qEnvironmentVariableIsSet("VELTO_SYNC_TEST_BATCH"))
        engine.setBatchLimit(qEnvironmentVariableIntValue("VELTO_SYNC_TEST_BATCH"));
    if (!pauseAt.isEmpty()) {
        engine.checkpoint = [pauseAt](const QString &phase) {
            if (phase != pauseAt)
                return;
            std::fprintf(stderr, "VELTO-SYNC-PAUSED %s\n", qPrintable(phase));
            std::fflush(stderr);
            for (;;)
                QThread::sleep(1);
        };
    }
    const datasync::SyncReport report = engine.run();
    if (!report.ok) {
        err << QStringLiteral("同步失败：") << report.error << Qt::endl;
        return 1;
    }
    out << QStringLiteral("同步完成：发送 %1 项更改，接收 %2 项更改")
               .arg(report.sent)
               .arg(report.received);
    if (report.conflicts > 0)
        out << QStringLiteral("，产生 %1 个冲突副本").arg(report.conflicts);
    out << QStringLiteral("。") << Qt::endl;
    if (report.tookServerTree)
        out << QStringLiteral("这台电脑只有示例条目，已改用服务器上的数据。") << Qt::endl;
    if (report.tookNewIdentity)
        out << datasync::SyncEngine::newIdentityNote() << Qt::endl;
    return 0;
}
