#include "SafeCommit.h"

#include <QSaveFile>

namespace interchange {

bool commitChecked(QSaveFile &file, qint64 written, QString *error)
{
    if (!file.flush() || file.size() != written) {
        QString text = file.errorString();
        if (file.error() == QFileDevice::NoError || text.isEmpty()
            || text == QLatin1String("Unknown error"))
            text = QStringLiteral("无法完整写入文件 %1（磁盘可能已满）").arg(file.fileName());
        file.cancelWriting();
        file.commit(); // removes the temporary file
        if (error)
            *error = text;
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace interchange
