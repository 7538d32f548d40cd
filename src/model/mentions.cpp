#include "mentions.h"

namespace
{

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

} // namespace

bool mentionsUser(const QString &text, const QString &username)
{
    const int length = username.size();
    if (length == 0)
        return false;
    // Each "@" compares at most the name's length: bounded work per character of the text.
    for (int at = text.indexOf(QLatin1Char('@')); at >= 0;
         at = text.indexOf(QLatin1Char('@'), at + 1)) {
        if (at > 0 && isWordCharacter(text.at(at - 1)))
            continue;
        const int end = at + 1 + length;
        if (end > text.size())
            return false;
        if (end < text.size() && isWordCharacter(text.at(end)))
            continue;
        if (QStringView(text).mid(at + 1, length).compare(username, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString mentionPrefixAt(const QString &text, int cursor)
{
    if (cursor < 0 || cursor > text.size())
        return QString();
    int start = cursor;
    while (start > 0 && isWordCharacter(text.at(start - 1)))
        --start;
    if (start == 0 || text.at(start - 1) != QLatin1Char('@'))
        return QString();
    if (start > 1 && isWordCharacter(text.at(start - 2)))
        return QString();
    const QString prefix = text.mid(start, cursor - start);
    // Not null even when nothing follows the "@" yet.
    return prefix.isNull() ? QStringLiteral("") : prefix;
}

QStringList mentionCandidates(const QStringList &names, const QString &prefix)
{
    QStringList found;
    for (const QString &name : names) {
        if (name.startsWith(prefix, Qt::CaseInsensitive))
            found.append(name);
    }
    return found;
}
