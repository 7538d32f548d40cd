#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

// Who is typing in which chat, from the "typing" frames of others. Time is passed in
// (milliseconds on any monotonic clock), so that it is a pure function of the calls made to it.
class TypingTracker
{
public:
    // Clients send one every few seconds while someone writes; a little more than two of those.
    static constexpr qint64 shownForMs = 6000;
    // However fast frames come, what a chat shows for one user changes no more often than this.
    static constexpr qint64 minChangeMs = 1000;

    // The user types in the chat from `now` on; true when the chat's typists changed.
    bool add(const QString &chatId, const QString &userId, qint64 now);
    // The user's message came: they no longer type. True when the chat's typists changed.
    bool remove(const QString &chatId, const QString &userId, qint64 now);
    // Drops who typed too long ago; returns the chats whose typists changed.
    QStringList expire(qint64 now);
    // The user ids typing in the chat, in the order they began.
    QStringList typists(const QString &chatId) const;
    // When the next entry runs out; -1 when none is held.
    qint64 nextExpiry() const;
    void clear();

private:
    struct Typist {
        QString userId;
        qint64 until = 0;
    };
    static QString key(const QString &chatId, const QString &userId);

    QHash<QString, std::vector<Typist>> byChat;
    // When each chat's typists last changed for each user, by key().
    QHash<QString, qint64> lastChange;
};

// "bob is typing…", "bob and carol are typing…", "Several people are typing…"; empty for nobody.
QString typingText(const QStringList &names);
