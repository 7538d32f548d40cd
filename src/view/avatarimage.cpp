#include "avatarimage.h"

#include "net/serveraddress.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

namespace avatar
{

bool isPlaceholderUrl(const QString &avatarUrl)
{
    return avatarUrl.isEmpty() || avatarUrl == QLatin1String("default.png")
        || avatarUrl == QLatin1String("/default.png")
        || avatarUrl.endsWith(QLatin1String("/default.png"));
}

QString normalisedUrl(const QString &avatarUrl)
{
    if (avatarUrl.startsWith(QLatin1Char('/')))
        return apiBaseUrl() + avatarUrl;
    if (!avatarUrl.startsWith(QLatin1String("http://"))
        && !avatarUrl.startsWith(QLatin1String("https://")))
        return apiBaseUrl() + QLatin1Char('/') + avatarUrl;
    return avatarUrl;
}

QString cacheFileName(const QString &normalisedUrl)
{
    return QString::fromLatin1(
               QCryptographicHash::hash(normalisedUrl.toUtf8(), QCryptographicHash::Md5).toHex())
        + QStringLiteral(".png");
}

std::optional<QImage> decodePicture(const QByteArray &body)
{
    if (body.size() > maxBodyBytes)
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header's size is checked before any pixel is decoded; a format that cannot tell its
    // size up front is not trusted either.
    const QSize announced = reader.size();
    if (!announced.isValid() || announced.width() > maxPictureSide
        || announced.height() > maxPictureSide)
        return std::nullopt;
    QImage picture = reader.read();
    if (picture.isNull())
        return std::nullopt;
    return picture;
}

QPixmap circularAvatar(const QImage &picture)
{
    QPixmap result(side, side);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    circle.addEllipse(0, 0, side, side);
    painter.setClipPath(circle);
    const int square = std::min(picture.width(), picture.height());
    const QImage centre =
        picture
            .copy((picture.width() - square) / 2, (picture.height() - square) / 2, square, square)
            .scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.drawImage(QRect(0, 0, side, side), centre);
    return result;
}

} // namespace avatar
