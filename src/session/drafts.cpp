#include "drafts.h"

bool Drafts::Draft::isEmpty() const
{
    return text.isEmpty() && replyToId.isEmpty();
}

void Drafts::keep(const QString &chatId, const Draft &draft)
{
    if (draft.isEmpty())
        drafts.remove(chatId);
    else
        drafts.insert(chatId, draft);
}

Drafts::Draft Drafts::take(const QString &chatId)
{
    return drafts.take(chatId);
}

bool Drafts::has(const QString &chatId) const
{
    return drafts.contains(chatId);
}

void Drafts::clear()
{
    drafts.clear();
}
