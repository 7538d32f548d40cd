// MainWindow's sending: new messages with a local copy, replies and saved edits.
#include "app/mainwindow.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"

#include <QDateTime>
#include <QLineEdit>
#include <QUuid>

void MainWindow::onSendBtnClicked()
{
    const QString text = messageInput->text().trimmed();
    if (text.isEmpty() || currentChatId.isEmpty())
        return;

    if (!editingMessageId.isEmpty()) {
        // Nothing changes locally until the server confirms the edit.
        if (text != editingOldText)
            request({ Outbox::ActionKind::Edit, currentChatId, editingMessageId, text });
        onCancelEdit();
        return;
    }

    Message local;
    local.id = QStringLiteral("temp_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    local.chatId = currentChatId;
    local.senderId = client->currentUser.id;
    local.content = text;
    local.timestamp = QDateTime::currentSecsSinceEpoch();
    local.status = Sending;
    // A quote from another chat would arrive there as a reply to nothing.
    const QString replyToId = replyChatId == currentChatId ? replyToMessageId : QString();
    local.replyToId = replyToId;
    store->addPendingMessage(local);
    // Shown at once either way; sent now, or after the next login when the connection is down.
    outbox.add(local);

    const bool atBottom = isScrolledToBottom();
    addMessageBubble(local);
    if (atBottom)
        scrollToBottom();

    sendLocalCopy(local);
    messageInput->clear();
    if (!replyToMessageId.isEmpty())
        onCancelReply();
}
