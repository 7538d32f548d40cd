#pragma once

#include <QList>
#include <QObject>
#include <QString>

class QLineEdit;
class QListWidget;
class QTabWidget;

// Ctrl+F over the sidebar: a small field that narrows the chat and contact rows to those whose
// name contains what is typed. Escape clears and hides it, showing every row again. Rows that
// arrive or are renamed while it is open are narrowed too.
class ListFilter : public QObject
{
    Q_OBJECT

public:
    ListFilter(QTabWidget *sidebar, const QList<QListWidget *> &lists);

    QLineEdit *field() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void open();
    void close();
    void apply();
    void applyTo(QListWidget *list, int first, int last);
    void narrow(QListWidget *list, const QString &text, int first, int last);
    void place();

    QTabWidget *sidebar;
    QList<QListWidget *> lists;
    QLineEdit *edit;
};
