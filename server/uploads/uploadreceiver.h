#pragma once

#include "uploadformat.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class QTcpSocket;
class Uploads;

// One "POST /upload" whose head has passed the checks that need no store: checks its token and
// chat on a reader, then streams the body to a part file in the upload folder through the disk
// thread (never more than a few chunks in memory), renames it to the upload's id, records it on
// the writer and answers 201 with its file object. Lives as the socket's child: a connection
// that goes away or stalls leaves no file behind.
class UploadReceiver : public QObject
{
    Q_OBJECT

public:
    struct Request {
        QString chatId;
        // Made safe already.
        QString name;
        QString token;
        qint64 length = 0;
        bool expectContinue = false;
    };

    UploadReceiver(Uploads &uploads, QTcpSocket *socket, const Request &request);
    ~UploadReceiver() override;

    void start();

private:
    // The file being written; touched only on the disk thread.
    struct Part {
        int fd = -1;
        QString path;
        bool failed = false;
    };

    void checked(int status, const QString &userId, qint64 stored);
    void readBody();
    void finishBody();
    void record();
    void answer(const QByteArray &response);

    Uploads &uploads;
    QTcpSocket *socket;
    Request request;
    UploadRecord upload;
    QString userId;
    std::shared_ptr<Part> part;
    QByteArray sniffHead;
    qint64 received = 0;
    qint64 inFlight = 0;
    QTimer stall;
    bool finishing = false;
    // The file is the writer's to keep or remove from here on.
    bool handedOver = false;
};
