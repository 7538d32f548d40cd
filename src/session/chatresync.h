#pragma once

#include "model/message.h"

#include <QString>
#include <QStringList>
#include <vector>

// Brings the messages held for one chat up to date with the page of newest messages the server
// pushes after a re-login, so that the user never sees held and new messages with missing ones
// between them.
//
// The fresh page covers a time span: from its oldest message up to now. A held message inside
// that span but missing from the page was deleted while offline; one found in it takes the
// server's version (edits). When the span does not reach back to the newest held message, older
// pages are asked for one at a time (nextBefore()); after `maxPages` of them the held messages
// older than the covered span are dropped, so that paging back loads them afresh.
class ChatResync
{
public:
    // Enough to bridge an outage of a busy chat without paging through its whole past.
    static constexpr int maxPages = 10;

    ChatResync(QString chatId, std::vector<Message> held, std::vector<Message> fresh);

    const QString &chatId() const;
    // Whether an older page is needed before the result is consistent.
    bool needsPage() const;
    // The "before" time of the next "get_history" request.
    qint64 nextBefore() const;
    int pagesFetched() const;
    // An answer to the last request; an empty page means nothing older exists.
    void addPage(const std::vector<Message> &page);
    // Gives up on bridging: the held messages beyond the covered span are dropped.
    void giveUp();

    // The chat's messages, oldest first, once needsPage() is false.
    std::vector<Message> result() const;
    // Held messages that are not in the result (deleted, or dropped beyond a gap).
    QStringList removedIds() const;
    // Held messages whose text or edit time changed.
    QStringList changedIds() const;

private:
    void settle();

    QString id;
    std::vector<Message> held;
    // Everything the server sent since the re-login, oldest first, without duplicates.
    std::vector<Message> covered;
    int pages = 0;
    bool exhausted = false;
    bool gaveUp = false;
    bool bridged = false;
};
