#pragma once

#include <QColor>
#include <QHash>
#include <QIcon>
#include <QMap>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <utility>

class QNetworkAccessManager;
class QNetworkReply;

// Avatars for every row: generated placeholders, pictures downloaded from the server, and their
// memory and disk caches. It answers at once; a picture that has to be downloaded first comes
// later through avatarReady(), for whoever shows that URL.
class AvatarCache : public QObject
{
    Q_OBJECT

public:
    AvatarCache(QNetworkAccessManager *networkManager, QObject *parent);

    // The avatar of `name` with the picture at `avatarUrl`, made for a screen of `ratio`.
    QIcon getAvatar(const QString &name, const QString &avatarUrl, qreal ratio);
    // The placeholder: the name's initial on a colour of its own.
    QIcon generateGenericAvatar(const QString &name, qreal ratio) const;
    static QColor getColorForName(const QString &name);
    // Forgets what the memory holds (the disk cache stays).
    void clear();

    // Downloaded pictures by normalised URL, and the downloads under way.
    QMap<QString, QPixmap> avatarCache;
    QSet<QString> pendingAvatarDownloads;

signals:
    void avatarReady(const QString &url, const QPixmap &pixmap);

private:
    void onAvatarDownloaded(QNetworkReply *reply, const QString &url, qreal ratio);

    QNetworkAccessManager *networkManager;
    // Placeholders by name and device pixel ratio.
    mutable QHash<std::pair<QString, qreal>, QIcon> genericAvatars;
};
