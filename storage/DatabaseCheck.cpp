#include "DatabaseCheck.h"

#include "SqlSupport.h"
#include "WritePriority.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#include <sqlite3.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#endif

using sqlsupport::fail;

namespace {

constexpr int headerSize = 100;

quint32 bigEndian(const uchar *bytes, int length)
{
    quint32 value = 0;
    for (int i = 0; i < length; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

QString refused(const QString &file, const QString &technical)
{
    return QStringLiteral("无法打开数据库：“") + QDir::toNativeSeparators(file)
        + QStringLiteral("”不是 Velto 能使用的数据库文件，或已经损坏；文件未做任何改动。(")
        + technical + QLatin1Char(')');
}

bool processRuns(qint64 pid)
{
    if (pid <= 0)
        return false;
    if (pid == QCoreApplication::applicationPid())
        return true;
#ifdef Q_OS_UNIX
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#else
    return false;
#endif
}

// Also the check's pause: its reads hold back while a save is being committed.
int interruptWhenAsked(void *flag)
{
    yieldToForeground();
    return static_cast<const std::atomic_bool *>(flag)->load() ? 1 : 0;
}

struct SessionMark {
    qint64 pid = 0;
    QString host;
    bool present = false;
};

SessionMark readMark(const QString &path)
{
    SessionMark mark;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return mark;
    mark.present = true;
    const QList<QByteArray> lines = file.readAll().split('\n');
    mark.pid = lines.value(0).trimmed().toLongLong();
    mark.host = QString::fromUtf8(lines.value(1).trimmed());
    return mark;
}

bool ownedByThisProcess(const SessionMark &mark)
{
    return mark.present && mark.pid == QCoreApplication::applicationPid()
        && mark.host == QSysInfo::machineHostName();
}

// A mark whose process is gone. A mark written on another machine (a shared folder) is taken as
// live: nothing here can tell.
bool isStale(const SessionMark &mark)
{
    if (!mark.present)
        return false;
    if (!mark.host.isEmpty() && mark.host != QSysInfo::machineHostName())
        return false;
    return !processRuns(mark.pid) || mark.pid == 0;
}

} // namespace

namespace DatabaseCheck {

bool checkHeader(const QString &file, QString *error)
{
    QFile in(file);
    if (!in.exists() || in.size() == 0)
        return true;
    if (!in.open(QIODevice::ReadOnly))
        return fail(error, refused(file, in.errorString()));
    const qint64 size = in.size();
    const QByteArray bytes = in.read(headerSize);
    if (bytes.size() < headerSize || !bytes.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return fail(error, refused(file, QStringLiteral("file is not a database")));
    const auto *h = reinterpret_cast<const uchar *>(bytes.constData());
    qint64 pageSize = bigEndian(h + 16, 2);
    if (pageSize == 1)
        pageSize = 65536;
    const bool powerOfTwo
        = pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0;
    if (!powerOfTwo || h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 || h[21] != 64
        || h[22] != 32 || h[23] != 32)
        return fail(error, refused(file, QStringLiteral("invalid database header")));
    // The page count in the header is valid when the "version valid for" number matches the
    // change counter (older writers did not keep it).
    const quint32 pages = bigEndian(h + 28, 4);
    if (bigEndian(h + 24, 4) == bigEndian(h + 92, 4) && pages > 0 && size < pages * pageSize) {
        return fail(error,
            refused(file,
                QStringLiteral("file is %1 bytes, its header counts %2 pages of %3 bytes")
                    .arg(size)
                    .arg(pages)
                    .arg(pageSize)));
    }
    return true;
}

bool checkSchema(QSqlDatabase db, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(
            QStringLiteral("SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master")))
        return fail(error, refused(db.databaseName(), query.lastError().text()));
    while (query.next()) { }
    if (query.lastError().isValid())
        return fail(error, refused(db.databaseName(), query.lastError().text()));
    return true;
}

bool checkAllPages(const QString &file, const QString &connectionName, QString *error,
    const std::atomic_bool *stop, bool *stopped)
{
    bool ok = false;
    if (stopped)
        *stopped = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open()) {
            fail(error, db.lastError().text());
        } else {
            runAsBackgroundThread();
            if (stop) {
                if (sqlite3 *handle = sqlsupport::sqliteHandle(db))
                    sqlite3_progress_handler(
                        handle, 4096, interruptWhenAsked, const_cast<std::atomic_bool *>(stop));
            }
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next()) {
                if (stop && stop->load() && stopped)
                    *stopped = true;
                fail(error, damagedMessage(file, query.lastError().text()));
            } else if (query.value(0).toString() == QLatin1String("ok")) {
                ok = true;
            } else {
                QStringList findings {query.value(0).toString()};
                while (findings.size() < 5 && query.next())
                    findings << query.value(0).toString();
                fail(error, damagedMessage(file, findings.join(QLatin1String("; "))));
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    return ok;
}

QString damagedMessage(const QString &file, const QString &technical)
{
    return QStringLiteral("数据库文件“") + QDir::toNativeSeparators(file)
        + QStringLiteral("”已损坏。(") + technical + QLatin1Char(')');
}

} // namespace DatabaseCheck

CheckSchedule::CheckSchedule(const QString &databaseFile)
    : m_file(databaseFile)
{
}

bool CheckSchedule::previousSessionUnclean() const
{
    return isStale(readMark(sessionPath()));
}

QDateTime CheckSchedule::lastPass() const
{
    QFile file(checkedPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QDateTime::fromString(QString::fromUtf8(file.readAll().trimmed()), Qt::ISODate);
}

bool CheckSchedule::isDue(const QDateTime &now) const
{
    if (previousSessionUnclean())
        return true;
    const QDateTime last = lastPass();
    return !last.isValid() || last.daysTo(now) >= intervalDays || last > now.addDays(1);
}

void CheckSchedule::beginSession()
{
    QSaveFile file(sessionPath());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n'
        + QSysInfo::machineHostName().toUtf8() + '\n');
    file.commit();
}

void CheckSchedule::endSession()
{
    const SessionMark mark = readMark(sessionPath());
    if (ownedByThisProcess(mark) || isStale(mark))
        QFile::remove(sessionPath());
}

void CheckSchedule::recordPass(const QDateTime &when)
{
    QSaveFile file(checkedPath());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(when.toString(Qt::ISODate).toUtf8() + '\n');
        file.commit();
    }
    if (isStale(readMark(sessionPath())))
        QFile::remove(sessionPath());
}
