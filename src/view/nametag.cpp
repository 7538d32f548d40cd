#include "nametag.h"

#include <QRegularExpression>

NameTag parseNameTag(const QString &displayName)
{
    static const QRegularExpression tagPattern(
        QStringLiteral(R"(^(.*)\s\[#([a-fA-F0-9]{6}),\s*\"(.*)\"\]$)"));
    const QRegularExpressionMatch match = tagPattern.match(displayName);
    if (!match.hasMatch())
        return NameTag { displayName, QString(), QString() };
    return NameTag {
        match.captured(1).trimmed(), QLatin1Char('#') + match.captured(2), match.captured(3)
    };
}
