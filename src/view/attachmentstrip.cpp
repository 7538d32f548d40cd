#include "attachmentstrip.h"

#include "model/attachment.h"
#include "view/avatarimage.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace
{

constexpr int thumbnailSide = 40;
// A picture larger than this gets a generic chip: reading it only for a thumbnail would stall
// the window.
constexpr qint64 maxThumbnailSource = 16 * 1024 * 1024;

QPixmap thumbnailOf(const QString &path, qreal devicePixelRatio)
{
    QFile file(path);
    if (file.size() > maxThumbnailSource || !file.open(QIODevice::ReadOnly))
        return QPixmap();
    const int side = qRound(thumbnailSide * devicePixelRatio);
    const std::optional<QImage> picture =
        avatar::decodePicture(file.readAll(), avatar::messagePictureLimits, QSize(side, side));
    if (!picture)
        return QPixmap();
    QPixmap pixmap = QPixmap::fromImage(
        picture->scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
            .copy(0, 0, side, side));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace

AttachmentStrip::AttachmentStrip(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("attachmentStrip"));
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(8, 4, 8, 4);
    auto *area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *content = new QWidget;
    row = new QHBoxLayout(content);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    area->setWidget(content);
    outer->addWidget(area);
    setFixedHeight(72);
    hide();
}

void AttachmentStrip::addFiles(const QStringList &added)
{
    for (const QString &path : added) {
        if (paths.contains(path) || !QFileInfo(path).isFile())
            continue;
        paths.append(path);
        row->insertWidget(row->count() - 1, makeChip(path));
    }
    setVisible(!paths.isEmpty());
    emit changed();
}

const QStringList &AttachmentStrip::files() const
{
    return paths;
}

void AttachmentStrip::clear()
{
    while (row->count() > 1)
        dropChip(0);
    paths.clear();
    hide();
    emit changed();
}

QWidget *AttachmentStrip::makeChip(const QString &path)
{
    const QFileInfo info(path);
    auto *chip = new QWidget;
    chip->setObjectName(QStringLiteral("attachmentChip"));
    auto *layout = new QHBoxLayout(chip);
    layout->setContentsMargins(4, 2, 4, 2);
    const QPixmap thumbnail = thumbnailOf(path, devicePixelRatioF());
    if (!thumbnail.isNull()) {
        auto *picture = new QLabel;
        picture->setObjectName(QStringLiteral("attachmentThumbnail"));
        picture->setPixmap(thumbnail);
        layout->addWidget(picture);
    }
    auto *text = new QVBoxLayout;
    text->setSpacing(0);
    auto *name = new QLabel(fontMetrics().elidedText(info.fileName(), Qt::ElideMiddle, 160));
    name->setObjectName(QStringLiteral("attachmentName"));
    name->setToolTip(info.fileName());
    auto *size = new QLabel(formattedSize(info.size()));
    size->setObjectName(QStringLiteral("attachmentSize"));
    text->addWidget(name);
    text->addWidget(size);
    layout->addLayout(text);
    auto *remove = new QPushButton(QStringLiteral("X"));
    remove->setObjectName(QStringLiteral("removeAttachment"));
    remove->setToolTip(QStringLiteral("Remove %1").arg(info.fileName()));
    remove->setFixedSize(22, 22);
    remove->setCursor(Qt::PointingHandCursor);
    connect(remove, &QAbstractButton::clicked, this, [this, path] { removeFile(path); });
    layout->addWidget(remove);
    return chip;
}

void AttachmentStrip::dropChip(int at)
{
    // The layout's item is the caller's once taken, apart from its widget.
    QLayoutItem *item = row->takeAt(at);
    delete item->widget();
    delete item;
}

void AttachmentStrip::removeFile(const QString &path)
{
    const int at = paths.indexOf(path);
    if (at < 0)
        return;
    paths.removeAt(at);
    dropChip(at);
    setVisible(!paths.isEmpty());
    emit changed();
}
