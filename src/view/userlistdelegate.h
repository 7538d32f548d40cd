#pragma once

#include <QDateTime>
#include <QString>
#include <QStyledItemDelegate>

// Paints the rows of the chat and contact lists: avatar, name and an optional name-tag pill. With
// previews on, a chat row has two lines: the name (bold with unread messages) and the time of the
// last message, then the preview and the unread badge (grey when the chat is muted).
class UserListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit UserListDelegate(QObject *parent = nullptr);
    ~UserListDelegate() override;

    void paint(QPainter *painter,
        const QStyleOptionViewItem &option,
        const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    void setShowPreviews(bool show);
    bool showsPreviews() const;
    void setDarkMode(bool dark);

private:
    void paintSummary(QPainter *painter,
        const QStyleOptionViewItem &option,
        const QModelIndex &index,
        int nameBottom) const;

    bool previews = false;
    bool dark = false;
};

// The time of a chat's last message as its row shows it: "14:02" today, the weekday within the
// last 7 days, else the date in the locale's short format.
QString chatListTime(const QDateTime &time, const QDateTime &now);
// "99+" above 99.
QString unreadBadgeText(int count);
