#include "ResourceLocation.h"

#include <QFileInfo>
#include <QUrl>

namespace {

constexpr QChar separator = QLatin1Char(' ');

bool isWebUrl(const QUrl &url)
{
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// A path with spaces in its last component must survive whole when it is really there.
bool namesExistingEntry(const QString &text)
{
    return text.contains(separator) && QFileInfo::exists(text);
}

int pathRule(const QString &text)
{
    const int s = qMax(text.lastIndexOf(QLatin1Char('/')), text.lastIndexOf(QLatin1Char('\\'))) + 1;
    if (s >= text.size())
        return -1;
    return text.indexOf(separator, s);
}

} // namespace

int resourceCommentPosition(const QString &text)
{
    if (text.isEmpty() || namesExistingEntry(text))
        return -1;
    const int k = text.indexOf(separator);
    if (k >= 0 && isWebUrl(QUrl::fromUserInput(text.left(k))))
        return k;
    return pathRule(text);
}

int resourcePathCommentPosition(const QString &text)
{
    if (text.isEmpty() || namesExistingEntry(text))
        return -1;
    return pathRule(text);
}

QString resourceLocationComment(const QString &text)
{
    const QString t = text.trimmed();
    const int p = resourceCommentPosition(t);
    if (p < 0)
        return {};
    return t.mid(p + 1).trimmed();
}

QString resourceLocationWithoutComment(const QString &text)
{
    QString t = text.trimmed();
    const int p = resourceCommentPosition(t);
    if (p >= 0)
        t.truncate(p);
    return t;
}

ResourceLocation classifyResourceLocation(const QString &text)
{
    ResourceLocation location;
    location.value = resourceLocationWithoutComment(text);
    if (isWebUrl(QUrl::fromUserInput(location.value))) {
        location.type = 2;
        return location;
    }
    if (QFileInfo(location.value).isDir())
        location.summary = QStringLiteral("folder");
    return location;
}
