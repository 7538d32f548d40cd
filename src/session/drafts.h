#pragma once

#include <QHash>
#include <QString>

// What the composer holds for each chat while another one is open: the typed text and the
// message being replied to. Edit mode is never kept; it ends when the chat is left.
class Drafts
{
public:
    struct Draft {
        QString text;
        // The quoted message belongs to the chat the draft is kept under, and to no other.
        QString replyToId;

        bool isEmpty() const;
    };

    // Keeps the chat's draft; an empty one leaves nothing behind.
    void keep(const QString &chatId, const Draft &draft);
    // The chat's draft (empty when there is none); it is no longer kept.
    Draft take(const QString &chatId);
    bool has(const QString &chatId) const;
    void clear();

private:
    QHash<QString, Draft> drafts;
};
