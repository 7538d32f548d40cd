#pragma once

#include <QList>
#include <QObject>
#include <QString>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QTabWidget;

// Ctrl+F over the sidebar: a small field that narrows the chat and contact rows to those whose
// name contains what is typed. Down moves into the list, at the first match; Return opens the
// first match. Escape clears and hides it, showing every row again. Rows that arrive or are
// renamed while it is open are narrowed too.
class ListFilter : public QObject
{
    Q_OBJECT

public:
    ListFilter(QTabWidget *sidebar, const QList<QListWidget *> &lists);

    QLineEdit *field() const;

signals:
    // Return in the field: the first row shown of the list open.
    void rowChosen(QListWidget *list, QListWidgetItem *item);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void open();
    void close();
    void apply();
    void applyTo(QListWidget *list, int first, int last);
    void narrow(QListWidget *list, const QString &text, int first, int last);
    void place();
    QListWidgetItem *firstMatch(QListWidget *list) const;

    QTabWidget *sidebar;
    QList<QListWidget *> lists;
    QLineEdit *edit;
};
