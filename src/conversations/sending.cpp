// MainWindow's sending: new messages, replies and saved edits go to the session.
#include "app/mainwindow.h"
#include "session/chatsession.h"

#include <QLineEdit>

void MainWindow::onSendBtnClicked()
{
    switch (session->send(messageInput->text())) {
    case ChatSession::SendResult::Nothing:
    case ChatSession::SendResult::TooLong:
        return;
    case ChatSession::SendResult::EditSaved:
        onCancelEdit();
        return;
    case ChatSession::SendResult::Sent:
        messageInput->clear();
        onCancelReply();
        return;
    }
}

void MainWindow::onPendingMessageAdded(const Message &local)
{
    if (local.chatId != currentChatId())
        return;
    const bool atBottom = isScrolledToBottom();
    addMessageBubble(local);
    if (atBottom)
        scrollToBottom();
}
