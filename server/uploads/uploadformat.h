#pragma once

#include "store.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <utility>

// What uploads look like on the wire and on disk, as pure functions: safe names, their URLs, the
// type and picture size read from a file's first bytes, and the byte ranges asked for.
namespace uploadformat
{

// Longest name kept, in bytes of UTF-8; longer ones are cut.
constexpr int maxNameBytes = 200;
// Bytes of a file's start that sniff() reads: room for a JPEG's metadata before its frame header.
constexpr int sniffBytes = 64 * 1024;

// `name` without path separators or control characters (each becomes "_"), trimmed, cut to
// maxNameBytes on a character boundary; a name of dots alone gets underscores instead, so that
// no URL reads it as a folder step. Empty when nothing is left.
QString safeName(const QString &name);

// "/static/upload/ID/NAME", the name percent-encoded.
QString url(const QString &uploadId, const QString &name);
// The id and name a request target or a message's "url" names; nothing for any other path.
std::optional<std::pair<QString, QString>> parseUrl(const QByteArray &target);

struct Sniffed {
    QString mime;
    // Of a picture whose header tells them; 0 otherwise.
    int width = 0;
    int height = 0;
};
// The type of the content that starts with `head`, never guessed from a name.
Sniffed sniff(const QByteArray &head);
// Pictures that a browser or the client may show inline; everything else is an attachment.
bool isInlinePicture(const QString &mime);

// The file object of a message and of the answer to an upload.
QJsonObject fileJson(const UploadRecord &upload);

// What a "Range" header asks of a file of `size` bytes.
struct Range {
    enum class Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Kind::Whole;
    qint64 first = 0;
    qint64 length = 0;
};
// One range is served; several, or one that cannot be read, get the whole file.
Range range(const QByteArray &header, qint64 size);

} // namespace uploadformat
