#pragma once

#include <QString>

// A location the user typed or pasted for a file, folder or web link, classified the way a
// content block stores it.
struct ResourceLocation {
    int type = 1; // 1 = local file or folder, 2 = web link (never 0)
    QString value; // the location without its trailing comment
    QString summary; // "folder" for an existing directory, else empty
};

// Index of the space that starts the trailing comment of `text` (already trimmed by the caller),
// or -1 when there is none. A link's comment starts at its first space, a path's comment at the
// first space of its last component. Text that names an existing file or folder as a whole has
// no comment, whatever spaces it holds.
int resourceCommentPosition(const QString &text);

// The path rule alone: the first space of the last path component, or -1. Text that names an
// existing file or folder as a whole has no comment.
int resourcePathCommentPosition(const QString &text);

// The trailing comment of `text`, trimmed; a null string when there is none.
QString resourceLocationComment(const QString &text);

// `text` trimmed, with its trailing comment cut off.
QString resourceLocationWithoutComment(const QString &text);

// Cuts the comment off `text` and tells a web link (http or https) from a local path.
ResourceLocation classifyResourceLocation(const QString &text);
