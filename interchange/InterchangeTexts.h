#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The texts the export, the import and the command line show, in one place so that the window and
// the command line say exactly the same thing.
namespace interchange {

inline const char *exportFormatTag()
{
    return "velto-export-v1";
}

// Called now and then with the work done so far and the work in all; returning false cancels.
using Progress = std::function<bool(qint64 done, qint64 total)>;

inline QString exportedMessage(qint64 count)
{
    return QStringLiteral("已导出 %1 个条目").arg(count);
}

inline QString importedMessage(qint64 count)
{
    return QStringLiteral("已导入 %1 个条目").arg(count);
}

inline QString importQuestionTitle()
{
    return QStringLiteral("导入");
}

inline QString importQuestion(qint64 count)
{
    return QStringLiteral("将追加导入 %1 个条目，现有内容不会被覆盖。继续吗？").arg(count);
}

inline QString notAnExportMessage()
{
    return QStringLiteral("不是有效的 Velto 导出文件。");
}
inline QString invalidEntryMessage()
{
    return QStringLiteral("导入文件包含无效条目。");
}
inline QString invalidIdMessage()
{
    return QStringLiteral("导入文件中的条目编号无效。");
}
inline QString invalidHierarchyMessage()
{
    return QStringLiteral("导入文件的层级关系无效。");
}

// An export or backup target that exists and is not a regular file (a folder, a device, a pipe)
// is never replaced.
inline QString notRegularFileMessage(const QString &path)
{
    return QStringLiteral("目标已存在且不是普通文件，未写入：") + path;
}

// The window's dialogs.
inline QString exportDialogTitle()
{
    return QStringLiteral("导出数据");
}
inline QString exportDefaultFileName()
{
    return QStringLiteral("velto-export.json");
}
inline QString exportFilters()
{
    return QStringLiteral("Velto 导出文件 (*.velto.json);;JSON 文件 (*.json)");
}
inline QString importDialogTitle()
{
    return QStringLiteral("导入数据");
}
inline QString importFilter()
{
    return QStringLiteral("Velto 导出文件 (*.velto.json *.json)");
}
inline QString restoreQuestionTitle()
{
    return QStringLiteral("恢复编辑");
}
inline QString restoreQuestion()
{
    return QStringLiteral("检测到上次未保存的编辑，是否恢复？");
}

inline QString cancelledMessage()
{
    return QStringLiteral("已取消，数据未改变。");
}

} // namespace interchange
