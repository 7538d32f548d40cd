#include "accessibleitem.h"

#include "model/itemroles.h"
#include "model/message.h"
#include "view/messagedelegate.h"
#include "view/nametag.h"

namespace
{

// Long enough to know the message by, short enough to be read out in passing.
constexpr int spokenTextLength = 120;

QString statusWord(int status)
{
    switch (status) {
    case Sending:
        return QStringLiteral("sending");
    case Sent:
        return QStringLiteral("sent");
    case Seen:
        return QStringLiteral("seen");
    case Failed:
        return QStringLiteral("failed");
    default:
        return QString();
    }
}

QString spokenText(const QString &text)
{
    const QString spoken = text.simplified();
    if (spoken.size() <= spokenTextLength)
        return spoken;
    return spoken.left(spokenTextLength - 1).trimmed() + QChar(0x2026);
}

} // namespace

QString accessible::messageText(const QString &sender,
    qint64 timestamp,
    const QString &text,
    qint64 editedAt,
    bool own,
    int status,
    const QString &replySender,
    const QString &replyPreview)
{
    QString result = sender + QStringLiteral(", ") + shownMessageTime(timestamp)
        + QStringLiteral(": ") + spokenText(text);
    if (!replyPreview.isEmpty()) {
        result += QStringLiteral(", replying to ");
        if (!replySender.isEmpty())
            result += replySender + QStringLiteral(": ");
        result += spokenText(replyPreview);
    }
    if (editedAt > 0)
        result += QStringLiteral(", edited");
    const QString word = own ? statusWord(status) : QString();
    if (!word.isEmpty())
        result += QStringLiteral(", ") + word;
    return result;
}

QString accessible::nameText(const QString &displayName)
{
    const NameTag tag = parseNameTag(displayName);
    return tag.hasTag() ? tag.name + QStringLiteral(", ") + tag.label : tag.name;
}

AccessibleItem::AccessibleItem(Kind kind)
    : kind(kind)
{
}

QVariant AccessibleItem::data(int role) const
{
    if (role != Qt::AccessibleTextRole)
        return QListWidgetItem::data(role);
    if (kind == Kind::Name)
        return accessible::nameText(QListWidgetItem::data(Qt::DisplayRole).toString());
    const QString text = accessible::messageText(QListWidgetItem::data(SenderNameRole).toString(),
        QListWidgetItem::data(TimestampRole).toLongLong(),
        QListWidgetItem::data(TextRole).toString(),
        QListWidgetItem::data(EditedAtRole).toLongLong(),
        QListWidgetItem::data(IsOwnRole).toBool(),
        QListWidgetItem::data(StatusRole).toInt(),
        QListWidgetItem::data(ReplySenderRole).toString(),
        QListWidgetItem::data(ReplyToIdRole).toString().isEmpty()
            ? QString()
            : QListWidgetItem::data(ReplyPreviewRole).toString());
    // Said last, as the highlight is seen after the text.
    return QListWidgetItem::data(MentionRole).toBool() ? text + QStringLiteral(", mentions you")
                                                       : text;
}
