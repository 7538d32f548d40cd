#include "filestream.h"

#include <QTcpSocket>

namespace
{

// Large enough for few system calls, small enough that many downloads cost little memory.
constexpr qint64 chunkBytes = 64 * 1024;

} // namespace

FileStream::FileStream(QTcpSocket *socket, const QString &path, int writeTimeoutMs)
    : QObject(socket)
    , socket(socket)
    , file(path)
{
    deadline.setSingleShot(true);
    deadline.setInterval(writeTimeoutMs);
    connect(&deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    connect(socket, &QTcpSocket::bytesWritten, this, &FileStream::fill);
    if (!file.open(QIODevice::ReadOnly)) {
        // The head is out already; a short body tells the client something went wrong.
        socket->abort();
        return;
    }
    fill();
}

void FileStream::fill()
{
    deadline.start();
    while (socket->bytesToWrite() < chunkBytes && !file.atEnd()) {
        const QByteArray chunk = file.read(chunkBytes);
        if (chunk.isEmpty())
            break;
        socket->write(chunk);
    }
    if (file.atEnd() && socket->bytesToWrite() == 0) {
        deadline.stop();
        file.close();
        socket->disconnectFromHost();
    }
}
