#pragma once

#include <QString>
#include <QStringList>

// What a search result row shows of its message: the words a query matched, found as the
// server finds them (case and diacritics do not count, a word matches the start of a word).

// The words of a query, folded: runs of letters and digits; everything else separates them.
QStringList searchWords(const QString &query);
// `text` without case or diacritics, for comparing words.
QString foldForSearch(const QString &text);
// One line of rich text around the first word of `text` that starts with one of `words`, with
// every such word in bold and the rest escaped; at most `maxChars` characters of the text, "…"
// where it is cut.
QString searchSnippet(const QString &text, const QStringList &words, int maxChars = 90);
