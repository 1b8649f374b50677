#pragma once

#include <QString>

// Texts shown where one line is shown (lists, the tree, the status line, tool tips, the resource
// list). A stored text may be absurdly long (a damaged or hostile import) or hold line breaks;
// these helpers bound what is shown before any font metrics or layout sees it, so a
// 2,000,000-character name costs no more to show than a short one. They only shape what is shown:
// editors keep the stored text.
namespace DisplayText {

// More characters than any window shows on one line; the widget elides the rest by width.
constexpr int lineChars = 300;
// A tool tip shows a few lines at most.
constexpr int toolTipChars = 1000;

// At most maxChars characters of text (line breaks, tabs and other control characters become
// spaces), ending in "…" when cut. Never splits a surrogate pair.
QString oneLine(const QString &text, int maxChars = lineChars);

// At most maxChars characters of text, line breaks kept, ending in "…" when cut.
QString bounded(const QString &text, int maxChars = toolTipChars);

} // namespace DisplayText
