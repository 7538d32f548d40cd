#include "filestream.h"

#include <QTcpSocket>
#include <algorithm>

namespace
{

// Large enough for few system calls, small enough that many downloads cost little memory.
constexpr qint64 chunkBytes = 64 * 1024;

} // namespace

FileStream::FileStream(
    QTcpSocket *socket, const QString &path, int writeTimeoutMs, qint64 offset, qint64 length)
    : QObject(socket)
    , socket(socket)
    , file(path)
{
    deadline.setSingleShot(true);
    deadline.setInterval(writeTimeoutMs);
    connect(&deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    connect(socket, &QTcpSocket::bytesWritten, this, &FileStream::fill);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        // The head is out already; a short body tells the client something went wrong.
        socket->abort();
        return;
    }
    remaining = length < 0 ? file.size() - offset : length;
    fill();
}

void FileStream::fill()
{
    deadline.start();
    while (socket->bytesToWrite() < chunkBytes && remaining > 0) {
        const QByteArray chunk = file.read(std::min(chunkBytes, remaining));
        if (chunk.isEmpty()) {
            // Shorter than it was: the client sees a short body rather than a hang.
            socket->abort();
            return;
        }
        remaining -= chunk.size();
        socket->write(chunk);
    }
    if (remaining <= 0 && socket->bytesToWrite() == 0) {
        deadline.stop();
        file.close();
        socket->disconnectFromHost();
    }
}
