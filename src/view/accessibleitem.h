#pragma once

#include <QListWidgetItem>
#include <QString>

// What assistive technology reads for the rows the delegates paint.
namespace accessible
{

// "bob, 11:41 AM: Fair point, replying to carol: Lunch?, edited, seen": the sender, the time as
// the row shows it, the text (a long one shortened), for a reply the quote as the row shows it,
// "edited" when it was, and for own messages one of "sending", "sent", "seen" or "failed". A
// message is a reply when `replyPreview` is not empty. A row that names the user adds
// ", mentions you".
QString messageText(const QString &sender,
    qint64 timestamp,
    const QString &text,
    qint64 editedAt,
    bool own,
    int status,
    const QString &replySender = QString(),
    const QString &replyPreview = QString());
// A chat or contact row: the name as shown, then a name tag's label.
QString nameText(const QString &displayName);

} // namespace accessible

// A list row that answers Qt::AccessibleTextRole from its other roles, so the text read out
// follows every change of status, text or name without being set again.
class AccessibleItem : public QListWidgetItem
{
public:
    enum class Kind { Message, Name };

    explicit AccessibleItem(Kind kind);

    QVariant data(int role) const override;

private:
    Kind kind;
};
