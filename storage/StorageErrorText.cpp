#include "StorageErrorText.h"

#include <iterator>

namespace {

struct Meaning {
    const char *fragment; // found in SQLite's or the driver's text, without regard to case
    const char *chinese;
};

const Meaning meanings[] = {
    {"locked", "数据库正忙"},
    {"busy", "数据库正忙"},
    {"readonly", "数据库处于只读状态"},
    {"read-only", "数据库处于只读状态"},
    {"disk is full", "磁盘已满或数据库已达大小上限"},
    {"disk i/o error", "磁盘读写出错"},
    {"malformed", "数据库文件已损坏"},
    {"not a database", "数据库文件已损坏"},
    {"corrupt", "数据库文件已损坏"},
    {"unable to open", "无法打开数据库文件"},
    {"constraint", "数据不符合数据库的约束"},
    {"interrupt", "操作被中断"},
    {"out of memory", "内存不足"},
};

bool isChinese(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x3000 && c.unicode() <= 0x9fff)
            return true;
    }
    return false;
}

} // namespace

QString storageErrorText(const QString &action, const QString &error)
{
    const QString technical = error.trimmed();
    if (isChinese(technical))
        return technical;
    QString meaning = QStringLiteral("数据库出错");
    for (const Meaning &m : meanings) {
        if (technical.contains(QLatin1String(m.fragment), Qt::CaseInsensitive)) {
            meaning = QString::fromUtf8(m.chinese);
            break;
        }
    }
    QString text = action + QStringLiteral("：") + meaning;
    if (!technical.isEmpty())
        text += QStringLiteral(" (") + technical + QLatin1Char(')');
    return text;
}
