#include "LogWriteOut.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

LogWriteOut::LogWriteOut(const QString &databaseFile)
{
#ifdef Q_OS_LINUX
    m_fd = ::open(
        QFile::encodeName(databaseFile + QStringLiteral("-wal")).constData(), O_RDONLY | O_CLOEXEC);
#else
    Q_UNUSED(databaseFile);
#endif
}

LogWriteOut::~LogWriteOut()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void LogWriteOut::operator()() const
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::sync_file_range(m_fd, 0, 0,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
#endif
}

void LogWriteOut::start() const
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE);
#endif
}
