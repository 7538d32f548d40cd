#pragma once

#include <QFile>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Writes a file to a socket a chunk at a time, as the peer takes it, so that a download holds
// a chunk or two in memory rather than the whole file; a peer that takes nothing for
// `writeTimeoutMs` is cut off. Lives as the socket's child and closes it when done. With a
// `length`, only that many bytes from `offset` on are written.
class FileStream : public QObject
{
    Q_OBJECT

public:
    FileStream(QTcpSocket *socket,
        const QString &path,
        int writeTimeoutMs,
        qint64 offset = 0,
        qint64 length = -1);

private:
    void fill();

    QTcpSocket *socket;
    QFile file;
    QTimer deadline;
    qint64 remaining = 0;
};
