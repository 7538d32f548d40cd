#pragma once

#include <QObject>
#include <QStringList>

class QLineEdit;
class QListWidget;

// The list of names that opens when "@" is typed in the composer, filtered as the name is typed.
// Up and Down move in it, Tab or Return put the name in, Escape closes it; other keys go to the
// input as usual.
class MentionCompleter : public QObject
{
    Q_OBJECT

public:
    // The list floats over `popupParent` just above the input.
    MentionCompleter(QLineEdit *input, QWidget *popupParent);

    // The names that may be mentioned: the open chat's other members.
    void setNames(const QStringList &names);
    bool isOpen() const;
    // What the list offers now, in order.
    QStringList shownNames() const;
    void closeList();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void update();
    void insertCurrent();
    void place();

    QLineEdit *input;
    QListWidget *list;
    QStringList names;
};
