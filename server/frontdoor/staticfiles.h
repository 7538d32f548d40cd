#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QString>

// The HTTP side of the server: plain GET and HEAD of files under "/static/", as pure functions
// from a request to the response bytes.
namespace staticfiles
{

// The local file that `target` (the request target, "/static/...") names inside `root`, or an
// empty string when it names none: outside "/static/", "." or ".." segments (also percent-encoded),
// empty segments, backslashes, NUL, hidden files, and anything that resolves outside `root`.
QString resolve(const QByteArray &target, const QString &root);

// Content type by file name extension; "application/octet-stream" when unknown.
QByteArray contentType(const QString &fileName);

// The validator of a file's current content: its size and modification time.
QByteArray entityTag(const QFileInfo &file);
// A time as HTTP writes it ("Sun, 06 Nov 1994 08:49:37 GMT"), and read back; invalid if it is none.
QByteArray httpDate(const QDateTime &time);
QDateTime parseHttpDate(const QByteArray &text);
// The value of header `name` (any case) in a request head; empty when absent.
QByteArray headerValue(const QByteArray &requestHead, const QByteArray &name);
// Whether the request's "If-None-Match" (or, without one, "If-Modified-Since") says the client
// holds this version already.
bool notModified(const QByteArray &requestHead, const QByteArray &etag, const QDateTime &modified);

// The whole response to a request head (request line and headers, without the blank line).
QByteArray respond(const QByteArray &requestHead, const QString &root);
// The same, except that the body of a file sent in full is left out and its path put in
// `bodyFile`, for the caller to stream.
QByteArray respond(const QByteArray &requestHead, const QString &root, QString *bodyFile);

// A response with `body` of `type`, "Connection: close".
QByteArray response(int status, const QByteArray &type, const QByteArray &body);

// A response without a file: status line, short text body, "Connection: close", and the
// header lines in `extra` (each ending in CRLF).
QByteArray errorResponse(int status, const QByteArray &extra = QByteArray());

// The status line and headers of a response whose body of `length` bytes follows, with
// "X-Content-Type-Options: nosniff", "Connection: close" and the lines in `extra`.
QByteArray head(
    int status, const QByteArray &type, qint64 length, const QByteArray &extra = QByteArray());

} // namespace staticfiles
