#include "DatabaseBackup.h"

#include "Database.h"
#include "InterchangeTexts.h"

#include <QAtomicInteger>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QString uniqueConnectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("velto-backup-%1").arg(counter.fetchAndAddRelaxed(1));
}

bool syncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#else
    return file.flush();
#endif
}

bool vacuumInto(const QString &databaseFile, const QString &target, QString *error)
{
    const QString name = uniqueConnectionName();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databaseFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            QSqlQuery query(db);
            ok = query.prepare(QStringLiteral("VACUUM INTO ?"));
            if (ok) {
                query.addBindValue(target);
                ok = query.exec();
            }
            if (!ok)
                *error = query.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

DatabaseBackup::DatabaseBackup(const QString &storageRoot, QObject *parent)
    : QObject(parent)
    , m_root(storageRoot)
{
}

DatabaseBackup::~DatabaseBackup()
{
    wait();
}

bool DatabaseBackup::writeCopy(const QString &databaseFile, const QString &target, QString *error)
{
    QString text;
    const QFileInfo source(databaseFile);
    if (!source.exists()) {
        text = QStringLiteral("数据库文件不存在：") + databaseFile;
    } else if (QFileInfo(target).exists() && !QFileInfo(target).isFile()) {
        text = interchange::notRegularFileMessage(target);
    } else if (QFileInfo(target).exists()
        && QFileInfo(target).canonicalFilePath() == source.canonicalFilePath()) {
        // Renaming over the open database would leave its connections writing to a deleted file.
        text = QStringLiteral("备份文件不能是数据库本身：") + target;
    } else {
        const QString partial = target + QStringLiteral(".part");
        QFile::remove(partial);
        if (!vacuumInto(databaseFile, partial, &text)) {
            QFile::remove(partial);
        } else if (!syncFile(partial)) {
            text = QStringLiteral("无法写入备份文件：") + partial;
            QFile::remove(partial);
        } else if (std::rename(QFile::encodeName(partial).constData(),
                       QFile::encodeName(target).constData())
            != 0) {
            text = QStringLiteral("无法写入备份文件：") + target;
            QFile::remove(partial);
        } else {
            return true;
        }
    }
    if (error)
        *error = text;
    return false;
}

QString DatabaseBackup::backupDirectory() const
{
    return QDir(m_root).filePath(QStringLiteral("data/backups"));
}

QString DatabaseBackup::fileNameFor(const QDate &date)
{
    return QStringLiteral("velto-") + date.toString(QStringLiteral("yyyy-MM-dd"))
        + QStringLiteral(".db");
}

QStringList DatabaseBackup::backups() const
{
    // The dates in the names sort like the days they name.
    return QDir(backupDirectory())
        .entryList({QStringLiteral("velto-\?\?\?\?-\?\?-\?\?.db")}, QDir::Files,
            QDir::Name | QDir::Reversed);
}

void DatabaseBackup::prune() const
{
    QDir dir(backupDirectory());
    const QStringList all = backups();
    for (qsizetype i = kept; i < all.size(); ++i)
        dir.remove(all.at(i));
    for (const QString &partial : dir.entryList({QStringLiteral("*.part")}, QDir::Files))
        dir.remove(partial);
}

void DatabaseBackup::startDaily()
{
    if (isRunning())
        return;
    wait();
    const QString target = QDir(backupDirectory()).filePath(fileNameFor(QDate::currentDate()));
    if (QFile::exists(target))
        return;
    QDir().mkpath(backupDirectory());
    const QString source = Database::databaseFilePath(m_root);
    QPointer<DatabaseBackup> self(this);
    m_thread.reset(QThread::create([self, source, target] {
        QString error;
        const bool ok = writeCopy(source, target, &error);
        // Delivered on the object's own thread once the worker is done; dropped if it is gone.
        QMetaObject::invokeMethod(
            self.data(),
            [self, ok, target, error] {
                if (!self)
                    return;
                self->m_busy = false;
                if (ok) {
                    self->prune();
                    emit self->finished(target);
                } else {
                    emit self->failed(error);
                }
            },
            Qt::QueuedConnection);
    }));
    m_busy = true;
    m_thread->setObjectName(QStringLiteral("velto-backup"));
    m_thread->start(QThread::LowPriority);
}

bool DatabaseBackup::isRunning() const
{
    return m_busy;
}

void DatabaseBackup::wait()
{
    if (!m_thread)
        return;
    m_thread->wait();
    m_thread.reset();
    m_busy = false;
}
