#pragma once

#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

class QMimeData;

// Files that reach the chat without the file dialog: dropped on the chat area or the composer,
// or pasted into the composer. A pasted picture is written as a PNG to a folder that lives as
// long as this object, and handed on by its path like any other file.
class FileInput : public QObject
{
    Q_OBJECT

public:
    explicit FileInput(QObject *parent = nullptr);

    // Watches `widget` for drops (and, for the composer, pastes).
    void watchDrops(QWidget *widget);
    void watchPastes(QWidget *composer);
    // The local files, or the picture, that a clipboard or a drop carries; empty when none.
    QStringList filesOf(const QMimeData *data);

signals:
    void filesChosen(const QStringList &paths);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTemporaryDir pasted;
    int pastedCount = 0;
};
