#include "messagetext.h"

#include <QRegularExpression>

namespace
{

const QString imageMarker = QStringLiteral("[Image]");
const QString originalMessage = QStringLiteral("[Original message]");

bool isUploadLink(const QString &trimmed)
{
    // "/static/upl" also covers "/static/upload".
    return trimmed.startsWith(QLatin1String("http"))
        && trimmed.contains(QLatin1String("/static/upl"));
}

QStringList whitespaceParts(const QString &text)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    return text.split(whitespace, Qt::SkipEmptyParts);
}

bool isImageFileName(const QString &name)
{
    for (const char *extension : { ".png", ".jpg", ".jpeg", ".gif", ".webp" }) {
        if (name.endsWith(QLatin1String(extension)))
            return true;
    }
    return false;
}

} // namespace

QString displayTextForContent(const QString &content)
{
    const QString trimmed = content.trimmed();
    if (!isUploadLink(trimmed))
        return content;
    const QStringList parts = whitespaceParts(trimmed);
    if (parts.size() == 1) {
        if (!trimmed.contains(QLatin1Char('.')))
            return imageMarker;
        const QString name = trimmed.split(QLatin1Char('/')).constLast();
        if (!name.contains(QLatin1Char('.')) || isImageFileName(name))
            return imageMarker;
        return QLatin1Char('[') + name + QLatin1Char(']');
    }
    if (parts.size() == 2 && parts.at(1).startsWith(QLatin1String("http")))
        return parts.at(0) + QLatin1Char(' ') + imageMarker;
    return content;
}

QString fileMarker(const Message &message)
{
    if (!message.hasFile || message.file.url.isEmpty())
        return QString();
    if (message.content.endsWith(QLatin1Char(' ') + imageMarker))
        return imageMarker;
    const QString named = QLatin1Char('[') + message.file.name + QLatin1Char(']');
    if (message.content == named || message.content == imageMarker)
        return message.content;
    return QString();
}

QString captionOf(const Message &message)
{
    if (!message.hasFile)
        return message.content;
    if (message.content.endsWith(QLatin1Char(' ') + imageMarker))
        return message.content.chopped(imageMarker.size() + 1);
    return QString();
}

QString replyPreviewFromText(const QString &text)
{
    const QString trimmed = text.trimmed();
    QString preview = text;
    if (isUploadLink(trimmed)) {
        const QStringList parts = whitespaceParts(trimmed);
        if (parts.size() == 1)
            preview = imageMarker;
        else if (parts.size() == 2 && parts.at(1).startsWith(QLatin1String("http")))
            preview = parts.at(0) + QLatin1Char(' ') + imageMarker;
    } else if (trimmed.startsWith(QLatin1String("[FILE:")) && trimmed.endsWith(QLatin1Char(']'))) {
        preview = imageMarker;
    }
    return preview.isEmpty() ? originalMessage : preview;
}

int characterCount(const QString &text)
{
    int count = 0;
    for (const QChar c : text)
        count += c.isLowSurrogate() ? 0 : 1;
    return count;
}

QString privateChatId(const QString &userId, const QString &otherUserId)
{
    QStringList ids { userId, otherUserId };
    ids.sort(Qt::CaseSensitive);
    return ids.join(QLatin1Char('_'));
}
