#include "avatarcache.h"

#include "net/serveraddress.h"
#include "view/avatarimage.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

namespace
{

const QByteArray userAgent = QByteArrayLiteral(
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36");
constexpr int transferTimeoutMs = 60000;

QString cacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
        + QStringLiteral("/avatars");
}

// The first character of a name as the placeholder shows it; a character outside the basic
// plane is kept whole.
QString initialOf(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("?");
    const int length = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
    return name.left(length).toUpper();
}

} // namespace

AvatarCache::AvatarCache(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent)
    , networkManager(networkManager)
{
}

void AvatarCache::clear()
{
    avatarCache.clear();
    genericAvatars.clear();
    pendingAvatarDownloads.clear();
}

QIcon AvatarCache::getAvatar(const QString &name, const QString &avatarUrl, qreal ratio)
{
    if (avatar::isPlaceholderUrl(avatarUrl))
        return generateGenericAvatar(name, ratio);

    const QString url = avatar::normalisedUrl(avatarUrl);
    // Held for one device pixel ratio at a time: the screen's, which rarely changes.
    const auto cached = avatarCache.constFind(url);
    if (cached != avatarCache.constEnd() && qFuzzyCompare(cached->devicePixelRatioF(), ratio))
        return QIcon(*cached);

    const QString directory = cacheDirectory();
    QDir().mkpath(directory);
    const QString file = directory + QLatin1Char('/') + avatar::cacheFileName(url, ratio);
    QPixmap fromDisk;
    if (QFile::exists(file) && fromDisk.load(file)) {
        fromDisk.setDevicePixelRatio(ratio);
        avatarCache.insert(url, fromDisk);
        return QIcon(fromDisk);
    }

    if (pendingAvatarDownloads.contains(url))
        return generateGenericAvatar(name, ratio);
    pendingAvatarDownloads.insert(url);

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("User-Agent", userAgent);
    request.setTransferTimeout(transferTimeoutMs);
    if (request.url().scheme() == QLatin1String("https"))
        request.setSslConfiguration(serverSslConfiguration());
    QNetworkReply *reply = networkManager->get(request);
    // Stop reading a body that is, or announces itself as, larger than any avatar can be.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > avatar::maxBodyBytes || total > avatar::maxBodyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url, ratio] {
        onAvatarDownloaded(reply, url, ratio);
    });
    return generateGenericAvatar(name, ratio);
}

void AvatarCache::onAvatarDownloaded(QNetworkReply *reply, const QString &url, qreal ratio)
{
    reply->deleteLater();
    pendingAvatarDownloads.remove(url);
    if (reply->error() != QNetworkReply::NoError)
        return;
    const std::optional<QImage> picture =
        avatar::decodePicture(reply->read(avatar::maxBodyBytes + 1));
    if (!picture)
        return;

    const QPixmap result = avatar::circularAvatar(*picture, ratio);
    avatarCache.insert(url, result);
    // Written under a temporary name and renamed, so a crash never leaves half a picture.
    const QString directory = cacheDirectory();
    QDir().mkpath(directory);
    QSaveFile file(directory + QLatin1Char('/') + avatar::cacheFileName(url, ratio));
    if (file.open(QIODevice::WriteOnly) && result.save(&file, "PNG"))
        file.commit();
    emit avatarReady(url, result);
}

QIcon AvatarCache::generateGenericAvatar(const QString &name, qreal ratio) const
{
    // A placeholder depends on the name alone; a login push of a thousand chats would
    // otherwise paint a thousand of them.
    const auto key = std::make_pair(name, ratio);
    const auto cached = genericAvatars.constFind(key);
    if (cached != genericAvatars.constEnd())
        return *cached;
    // Painted in device pixels, in the 42-pixel coordinates of the avatar.
    QPixmap pixmap(avatar::pixelSide(ratio), avatar::pixelSide(ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(getColorForName(name));
    const QRect area(0, 0, avatar::side, avatar::side);
    painter.drawEllipse(area);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(area, Qt::AlignCenter, initialOf(name));
    painter.end();
    const QIcon icon(pixmap);
    genericAvatars.insert(key, icon);
    return icon;
}

QColor AvatarCache::getColorForName(const QString &name)
{
    static const QStringList colours { QStringLiteral("#e57373"),
        QStringLiteral("#f06292"),
        QStringLiteral("#ba68c8"),
        QStringLiteral("#9575cd"),
        QStringLiteral("#7986cb"),
        QStringLiteral("#64b5f6"),
        QStringLiteral("#4fc3f7"),
        QStringLiteral("#4dd0e1"),
        QStringLiteral("#4db6ac"),
        QStringLiteral("#81c784"),
        QStringLiteral("#aed581"),
        QStringLiteral("#ff8a65"),
        QStringLiteral("#d4e157"),
        QStringLiteral("#ffd54f"),
        QStringLiteral("#ffb74d"),
        QStringLiteral("#a1887f") };
    quint32 hash = 0;
    for (const char byte : name.toUtf8())
        hash = hash * 65599u + static_cast<quint32>(static_cast<qint32>(static_cast<qint8>(byte)));
    return QColor(colours.at(static_cast<int>(hash % 16u)));
}
