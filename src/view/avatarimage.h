#pragma once

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <optional>

namespace avatar
{

// Avatars are made 42 pixels square; the delegates draw them at 40 and 38.
constexpr int side = 42;
// A picture body larger than this is refused unread; so is a picture announcing a side larger
// than maxPictureSide, or one whose decoding would need more than maxDecodeBytes by what its own
// header says. Together they bound what a hostile server can make the client decode.
constexpr qint64 maxBodyBytes = 5 * 1024 * 1024;
constexpr int maxPictureSide = 4096;
constexpr qint64 maxDecodeBytes = 64 * 1024 * 1024;

// True for the URLs that stand for "no picture": no request is made for them.
bool isPlaceholderUrl(const QString &avatarUrl);
// The URL as requested: server paths completed with the server's HTTP base URL.
QString normalisedUrl(const QString &avatarUrl);
// File name of a URL's picture in the disk cache: the MD5 of the URL, then ".png"; a picture
// made for another device pixel ratio than 1 has "@2x" (the ratio) before the ".png".
QString cacheFileName(const QString &normalisedUrl, qreal devicePixelRatio = 1.0);
// An avatar's side in device pixels on a screen of this device pixel ratio.
int pixelSide(qreal devicePixelRatio);

// What a picture may cost before it is decoded: its body, its sides and the memory its own
// header says decoding takes.
struct PictureLimits {
    qint64 maxBodyBytes;
    int maxSide;
    qint64 maxDecodeBytes;
};
constexpr PictureLimits avatarLimits { maxBodyBytes, maxPictureSide, maxDecodeBytes };
// Pictures sent in messages: photos of today's phones and screenshots of large screens pass;
// decoding one never takes more than 256 MiB.
constexpr PictureLimits messagePictureLimits { 64 * 1024 * 1024, 16384, 256 * 1024 * 1024 };

// Decodes a downloaded PNG, JPEG or GIF body (a GIF's first frame), or nothing when it is too
// large, announces too large a picture, or is none of these (SVG is never rendered). With a
// valid `fitIn`, a JPEG is decoded straight at the largest size that fits in it, which costs a
// fraction of the whole picture.
std::optional<QImage> decodePicture(
    const QByteArray &body, const PictureLimits &limits = avatarLimits, QSize fitIn = QSize());
// The width and height the header of a PNG, JPEG or GIF body announces; invalid for others.
QSize announcedSize(const QByteArray &body);
// The largest centred square of `picture`, scaled to the avatar size and clipped to a circle,
// made in device pixels for a screen of the given ratio so that it stays sharp there.
QPixmap circularAvatar(const QImage &picture, qreal devicePixelRatio = 1.0);

} // namespace avatar
