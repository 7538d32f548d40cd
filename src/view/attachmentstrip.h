#pragma once

#include <QStringList>
#include <QWidget>

class QHBoxLayout;

// The files chosen for the next message, above the composer: each with its name, its size, a
// thumbnail for a picture and a button that removes it. Hidden while empty.
class AttachmentStrip : public QWidget
{
    Q_OBJECT

public:
    explicit AttachmentStrip(QWidget *parent = nullptr);

    // Adds files not in the strip yet, in order.
    void addFiles(const QStringList &paths);
    const QStringList &files() const;
    void clear();

signals:
    void changed();

private:
    QWidget *makeChip(const QString &path);
    void dropChip(int at);
    void removeFile(const QString &path);

    QStringList paths;
    QHBoxLayout *row;
};
