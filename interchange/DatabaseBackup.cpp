#include "DatabaseBackup.h"

#include "Database.h"
#include "InterchangeTexts.h"
#include "WritePriority.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

#include <cstdio>

#include <sqlite3.h>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

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

// The copy is made in small steps, each written out to the disk before the next, so that it never
// leaves more than a step's worth of data waiting in the page cache: a save's own sync of the log
// would otherwise wait behind the writing out of the copy.
constexpr int pagesPerStep = 64; // 256 KiB with 4 KiB pages
constexpr int pauseMilliseconds = 2; // between steps, for the saves' reads and writes

// Writes out what the copy has written so far and waits for it, without the flush of the disk's
// own cache that fsync would add (the final fsync does that once).
void writeOut(int fd)
{
#ifdef Q_OS_LINUX
    if (fd >= 0)
        ::sync_file_range(fd, 0, 0,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
#elif defined(Q_OS_UNIX)
    if (fd >= 0)
        ::fdatasync(fd);
#else
    Q_UNUSED(fd);
#endif
}

QString sqliteText(sqlite3 *db)
{
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

// Copies the database page by page through SQLite's backup interface. The reading connection
// holds one read transaction from the first step to the last: in WAL mode it reads one snapshot
// while saves go on, and the copy never starts over because of them.
bool pacedCopy(const QString &databaseFile, const QString &target, QString *error)
{
    sqlite3 *source = nullptr;
    sqlite3 *copy = nullptr;
    sqlite3_backup *backup = nullptr;
    int fd = -1;
    bool ok = false;
    const auto fail = [&](sqlite3 *db) {
        *error = sqliteText(db);
        return false;
    };
    [&] {
        if (sqlite3_open_v2(
                QFile::encodeName(databaseFile).constData(), &source, SQLITE_OPEN_READONLY, nullptr)
            != SQLITE_OK)
            return fail(source);
        sqlite3_busy_timeout(source, 10000);
        if (sqlite3_exec(
                source, "BEGIN; SELECT COUNT(*) FROM sqlite_schema", nullptr, nullptr, nullptr)
            != SQLITE_OK)
            return fail(source);
        if (sqlite3_open_v2(QFile::encodeName(target).constData(), &copy,
                SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
                != SQLITE_OK
            // A copy left unfinished is deleted, never used: it needs no journal, and its pages
            // go to the file as they are written.
            || sqlite3_exec(copy,
                   "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -1024",
                   nullptr, nullptr, nullptr)
                != SQLITE_OK)
            return fail(copy);
        backup = sqlite3_backup_init(copy, "main", source, "main");
        if (!backup)
            return fail(copy);
        runAsBackgroundThread();
        for (;;) {
            // A save's writes and sync go first: no step starts while one is being committed.
            yieldToForeground();
            const int rc = sqlite3_backup_step(backup, pagesPerStep);
#ifdef Q_OS_UNIX
            if (fd < 0)
                fd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_CLOEXEC);
#endif
            if (rc == SQLITE_DONE)
                return ok = true;
            if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
                return fail(copy);
            writeOut(fd);
            QThread::msleep(pauseMilliseconds);
        }
    }();
    if (backup && sqlite3_backup_finish(backup) != SQLITE_OK && ok) {
        ok = false;
        *error = sqliteText(copy);
    }
#ifdef Q_OS_UNIX
    if (fd >= 0)
        ::close(fd);
#endif
    sqlite3_close(copy);
    sqlite3_exec(source, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(source);
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
        if (!pacedCopy(databaseFile, partial, &text)) {
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
