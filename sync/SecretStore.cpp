#include "SecretStore.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>

namespace datasync {

namespace {

const QString service = QStringLiteral("Velto");

SecretStore::Status finish(QKeychain::Job &job, QString *error)
{
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    switch (job.error()) {
    case QKeychain::NoError:
        return SecretStore::Status::Ok;
    case QKeychain::EntryNotFound:
        return SecretStore::Status::NotFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        if (error)
            *error = SecretStore::noKeychainMessage();
        return SecretStore::Status::NoKeychain;
    default:
        if (error)
            *error = QStringLiteral("系统钥匙串出错：") + job.errorString();
        return SecretStore::Status::Failed;
    }
}

} // namespace

SecretStore::Status SecretStore::read(const QString &key, QString *value, QString *error)
{
    QKeychain::ReadPasswordJob job(service);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(key);
    const Status status = finish(job, error);
    if (status == Status::Ok)
        *value = job.textData();
    return status;
}

SecretStore::Status SecretStore::write(const QString &key, const QString &value, QString *error)
{
    if (value.isEmpty()) {
        QKeychain::DeletePasswordJob job(service);
        job.setAutoDelete(false);
        job.setInsecureFallback(false);
        job.setKey(key);
        const Status status = finish(job, error);
        return status == Status::NotFound ? Status::Ok : status;
    }
    QKeychain::WritePasswordJob job(service);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(key);
    job.setTextData(value);
    return finish(job, error);
}

QString SecretStore::noKeychainMessage()
{
    return QStringLiteral("这台电脑没有可用的系统钥匙串：同步密码和加密口令只保留到 Velto 关闭，"
                          "不会以明文写到磁盘上。");
}

} // namespace datasync
