#pragma once

#include <QString>

// The plain text of a note's HTML (as a rich-text editor writes it): tags dropped, the head, style
// and script parts left out, block ends turned into line breaks, character references decoded.
// Needs neither Qt Gui nor a GUI thread, so the background indexer and the command line can use it.
QString plainTextFromHtml(const QString &html);

// The last component of a local path written with either kind of separator ("C:\a\b.txt" →
// "b.txt").
QString pathFileName(const QString &path);
