// MainWindow's sending: new messages, replies and saved edits go to the session.
#include "app/mainwindow.h"
#include "model/messagetext.h"
#include "session/chatsession.h"
#include "view/palette.h"

#include <QLabel>
#include <QLineEdit>

void MainWindow::onSendBtnClicked()
{
    switch (session->send(messageInput->text())) {
    case ChatSession::SendResult::Nothing:
        return;
    case ChatSession::SendResult::TooLong:
        // The counter next to the composer says why; the text stays to be shortened.
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

void MainWindow::showTextLength()
{
    // Shown from this close to the limit on, so that it comes as no surprise.
    constexpr int warnWithin = 200;
    const int length = characterCount(messageInput->text().trimmed());
    lengthLabel->setVisible(length > ChatSession::maxTextLength - warnWithin);
    const bool tooLong = length > ChatSession::maxTextLength;
    lengthLabel->setText(QStringLiteral("%1 / %2").arg(length).arg(ChatSession::maxTextLength)
        + (tooLong ? QStringLiteral(": too long to send") : QString()));
    lengthLabel->setStyleSheet(tooLong
            ? QStringLiteral("color: %1;").arg(QLatin1String(themePalette(darkMode).errorText))
            : QString());
}

void MainWindow::onPendingMessageAdded(const Message &local)
{
    if (local.chatId != currentChatId())
        return;
    // What is sent goes below the newest messages, so the view goes there to show it.
    if (showsDetachedTimeline() || heldSlice) {
        jumpToLatest();
        return;
    }
    const bool atBottom = isScrolledToBottom();
    addMessageBubble(local);
    if (atBottom)
        scrollToBottom();
}
