#pragma once

#include <QObject>

class QListWidget;
class QListWidgetItem;

// Return, Enter or Space on a list's current row opens it, as a click does.
class RowKeys : public QObject
{
    Q_OBJECT

public:
    explicit RowKeys(QListWidget *list);

signals:
    void rowActivated(QListWidgetItem *item);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QListWidget *list;
};
