#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class MessageSearch;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;

// The sidebar while a message search is open: the query field, the "In this chat" toggle and the
// results, newest first, more of them loaded on scrolling down. Return or a click on a result
// chooses it; Escape closes the search.
class SearchPanel : public QWidget
{
    Q_OBJECT

public:
    // Names for a result row: the chat's and the sender's.
    struct Names {
        std::function<QString(const QString &chatId)> chat;
        std::function<QString(const QString &userId)> user;
    };

    SearchPanel(MessageSearch *search, Names names, QWidget *parent = nullptr);

    // Opens the field with the focus in it; `chatId` is the chat "In this chat" narrows to.
    void open(const QString &chatId);
    // The open chat changed.
    void setOpenChat(const QString &chatId);
    QLineEdit *field() const;
    QListWidget *resultList() const;
    QLabel *statusLabel() const;

signals:
    void resultChosen(const QString &chatId, const QString &messageId);
    void closeRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void requery();
    void rebuild();
    void append(int first);
    void showStatus();
    void choose(QListWidgetItem *item);
    void onScrolled(int value);

    MessageSearch *search;
    Names names;
    QString openChatId;
    QLineEdit *edit;
    QCheckBox *inThisChat;
    QListWidget *results;
    QLabel *status;
};
