#include "uploadreceiver.h"

#include "credentials.h"
#include "protocol.h"
#include "readers.h"
#include "staticfiles.h"
#include "uploads.h"
#include "writer.h"

#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Read off the socket at a time; what Qt buffers before it is read is bounded the same way.
constexpr qint64 chunkBytes = 256 * 1024;
// Read but not yet written to disk; beyond, the socket is left unread, and TCP slows the sender.
constexpr qint64 maxInFlightBytes = 4 * chunkBytes;

bool writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// Whether `userId` may upload into `chatId`: a member of it, or one of the two users of a private
// chat that does not exist yet, so that a first message can carry a file.
bool mayUpload(Store &store, const QString &chatId, const QString &userId)
{
    if (store.isMember(chatId, userId))
        return true;
    if (store.chat(chatId))
        return false;
    const QStringList users = chatId.split(QLatin1Char('_'));
    if (users.size() != 2 || !users.contains(userId))
        return false;
    const QString other = users.at(0) == userId ? users.at(1) : users.at(0);
    return other != userId && protocol::privateChatId(userId, other) == chatId
        && store.userById(other);
}

} // namespace

UploadReceiver::UploadReceiver(Uploads &uploads, QTcpSocket *socket, const Request &request)
    : QObject(socket)
    , uploads(uploads)
    , socket(socket)
    , request(request)
{
    stall.setSingleShot(true);
    stall.setInterval(uploads.options().stallTimeoutMs);
    connect(&stall, &QTimer::timeout, socket, &QTcpSocket::abort);
}

UploadReceiver::~UploadReceiver()
{
    if (!userId.isEmpty()) {
        Uploads::InProgress &inProgress = uploads.active[userId];
        inProgress.bytes -= request.length;
        if (--inProgress.count <= 0)
            uploads.active.remove(userId);
    }
    if (!part || handedOver)
        return;
    // After whatever disk work is still queued for the part, which may have renamed it.
    const QString finalPath = uploads.filePath(upload.id);
    uploads.onDisk([part = part, finalPath] {
        if (part->fd >= 0)
            ::close(part->fd);
        ::unlink(QFile::encodeName(part->path).constData());
        ::unlink(QFile::encodeName(finalPath).constData());
    });
}

void UploadReceiver::start()
{
    // Nothing of the body is read until the checks pass; Qt holds no more of it than this.
    socket->setReadBufferSize(chunkBytes);
    auto status = std::make_shared<int>(401);
    auto user = std::make_shared<QString>();
    auto stored = std::make_shared<qint64>(0);
    const QString tokenHash = credentials::tokenHash(request.token);
    const QString chatId = request.chatId;
    const bool quota = uploads.options().quota > 0;
    const qint64 now = uploads.options().clock() / 1000;
    uploads.readers.submit(
        [=](Store &store) {
            const std::optional<QString> found = store.httpTokenUser(tokenHash, now);
            if (!found)
                return Outcome();
            *user = *found;
            // An unknown chat is refused as one the user is not in: nobody learns which exist.
            *status = mayUpload(store, chatId, *found) ? 201 : 403;
            if (*status == 201 && quota)
                *stored = store.uploadedBytes(*found);
            return Outcome();
        },
        [self = QPointer<UploadReceiver>(this), status, user, stored](Outcome &&, quint64) {
            if (self)
                self->checked(*status, *user, *stored);
        });
}

void UploadReceiver::checked(int status, const QString &user, qint64 stored)
{
    if (status == 401) {
        answer(staticfiles::errorResponse(401, "WWW-Authenticate: Bearer\r\n"));
        return;
    }
    if (status != 201) {
        answer(staticfiles::errorResponse(status));
        return;
    }
    // The uploads under way on this server count as if kept already, so that several started
    // side by side cannot together pass the quota; those on other servers are held to it when
    // recorded.
    Uploads::InProgress &inProgress = uploads.active[user];
    const qint64 quota = uploads.options().quota;
    if (quota > 0 && stored + inProgress.bytes + request.length > quota) {
        if (inProgress.count == 0)
            uploads.active.remove(user);
        answer(staticfiles::errorResponse(413));
        return;
    }
    if (inProgress.count >= uploads.options().maxParallelPerUser) {
        answer(staticfiles::errorResponse(429, "Retry-After: 1\r\n"));
        return;
    }
    ++inProgress.count;
    inProgress.bytes += request.length;
    userId = user;
    upload.id = credentials::randomHex(16);
    upload.chatId = request.chatId;
    upload.userId = user;
    upload.name = request.name;
    upload.size = request.length;
    part = std::make_shared<Part>();
    part->path = uploads.filePath(QStringLiteral(".part-") + upload.id);
    uploads.onDisk([part = part] {
        part->fd = ::open(QFile::encodeName(part->path).constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
            0600);
        part->failed = part->fd < 0;
    });
    if (request.expectContinue)
        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    stall.start();
    connect(socket, &QTcpSocket::readyRead, this, &UploadReceiver::readBody);
    readBody();
}

void UploadReceiver::readBody()
{
    if (finishing)
        return;
    while (received < request.length && inFlight < maxInFlightBytes) {
        const QByteArray chunk = socket->read(std::min(chunkBytes, request.length - received));
        if (chunk.isEmpty())
            break;
        stall.start();
        received += chunk.size();
        inFlight += chunk.size();
        if (sniffHead.size() < uploadformat::sniffBytes)
            sniffHead += chunk.left(uploadformat::sniffBytes - sniffHead.size());
        uploads.onDisk(
            [part = part, chunk] {
                if (!part->failed)
                    part->failed = !writeAll(part->fd, chunk);
            },
            [self = QPointer<UploadReceiver>(this), bytes = chunk.size()] {
                if (!self)
                    return;
                self->inFlight -= bytes;
                self->readBody();
            });
    }
    if (received == request.length)
        finishBody();
}

void UploadReceiver::finishBody()
{
    finishing = true;
    stall.stop();
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const uploadformat::Sniffed sniffed = uploadformat::sniff(sniffHead);
    sniffHead.clear();
    upload.mime = sniffed.mime;
    upload.width = sniffed.width;
    upload.height = sniffed.height;
    const QString finalPath = uploads.filePath(upload.id);
    // The rename makes the file whole or absent under its final name, on any crash.
    uploads.onDisk(
        [part = part, finalPath] {
            if (part->fd < 0)
                return;
            part->failed = part->failed || ::fsync(part->fd) != 0;
            part->failed = ::close(part->fd) != 0 || part->failed;
            part->fd = -1;
            part->failed = part->failed
                || ::rename(QFile::encodeName(part->path).constData(),
                       QFile::encodeName(finalPath).constData())
                    != 0;
        },
        [self = QPointer<UploadReceiver>(this)] {
            if (self)
                self->record();
        });
}

void UploadReceiver::record()
{
    if (part->failed) {
        answer(staticfiles::errorResponse(500));
        return;
    }
    handedOver = true;
    upload.createdAt = uploads.options().clock() / 1000;
    auto refused = std::make_shared<bool>(false);
    auto busy = std::make_shared<bool>(false);
    const qint64 quota = uploads.options().quota;
    Uploads *owner = &uploads;
    uploads.writer.submit(
        [upload = upload, quota, refused, busy](Store &store) {
            // Checked again here, where uploads of the same user finish one after another.
            *busy = quota > 0 && !store.holdUploadQuota(upload.userId);
            *refused =
                !*busy && quota > 0 && store.uploadedBytes(upload.userId) + upload.size > quota;
            if (*busy || *refused)
                return Outcome();
            if (!store.addUpload(upload))
                return Outcome::failure();
            Outcome outcome;
            outcome.wrote = true;
            return outcome;
        },
        Outcome::Reply(),
        [self = QPointer<UploadReceiver>(this), owner, refused, busy, id = upload.id](
            Outcome &&, bool committed, quint64) {
            if (!committed || *refused || *busy)
                owner->removeFiles({ id });
            if (!self)
                return;
            if (committed && *busy) {
                // Another server records an upload of the same user this moment: rare, and
                // the client sends it again after the pause.
                self->answer(staticfiles::errorResponse(503, "Retry-After: 1\r\n"));
                return;
            }
            if (!committed || *refused) {
                self->answer(staticfiles::errorResponse(committed ? 413 : 500));
                return;
            }
            const QByteArray body =
                QJsonDocument(uploadformat::fileJson(self->upload)).toJson(QJsonDocument::Compact);
            self->answer(
                staticfiles::head(201,
                    "application/json",
                    body.size(),
                    "Location: " + uploadformat::url(self->upload.id, self->upload.name).toLatin1()
                        + "\r\n")
                + body);
        });
}

void UploadReceiver::answer(const QByteArray &response)
{
    stall.stop();
    answerAndClose(socket, response);
}
