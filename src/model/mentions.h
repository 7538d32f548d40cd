#pragma once

#include <QString>
#include <QStringList>

// "@name" in a text names a user: the name matched without regard to case, as a whole word (no
// letter, digit or "_" right before the "@" or right after the name). Linear in the text.
bool mentionsUser(const QString &text, const QString &username);

// The part of a name typed after an "@" that ends at `cursor`, for completing it; null when the
// cursor stands in no such word.
QString mentionPrefixAt(const QString &text, int cursor);

// The names that begin with `prefix`, without regard to case, in the order given.
QStringList mentionCandidates(const QStringList &names, const QString &prefix);
