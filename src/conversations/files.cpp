// MainWindow's files: choosing them for the next message, their uploads in the bubbles, and
// opening the files of messages (pictures in a viewer, other files downloaded).
#include "app/fileinput.h"
#include "app/mainwindow.h"
#include "app/settings.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "session/chatsession.h"
#include "session/filedownloads.h"
#include "session/fileupload.h"
#include "store/chatstore.h"
#include "view/attachmentstrip.h"
#include "view/avatarimage.h"
#include "view/downloadbar.h"
#include "view/messagedelegate.h"
#include "view/picturecache.h"
#include "view/pictureviewer.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace
{

QUrl fileAddress(const QString &url)
{
    return QUrl(url.startsWith(QLatin1Char('/')) ? apiBaseUrl() + url : url);
}

} // namespace

void MainWindow::setupFiles()
{
    downloads = new FileDownloads(session->network(), this);
    pictureCache = new PictureCache(downloads,
        QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
            + QStringLiteral("/pictures"),
        this);
    connect(pictureCache, &PictureCache::ready, this, &MainWindow::onPictureReady);
    connect(downloads,
        &FileDownloads::progress,
        this,
        [this](const QString &key, qint64 received, qint64 total) {
            if (DownloadBar *bar = downloadBars.value(key))
                bar->setProgress(received, total);
        });
    connect(
        downloads, &FileDownloads::saved, this, [this](const QString &key, const QString &path) {
            if (DownloadBar *bar = downloadBars.take(key))
                bar->setSaved(path);
        });
    connect(downloads,
        &FileDownloads::fetched,
        this,
        [this](const QString &key, const QByteArray &body) {
            if (PictureViewer *viewer = viewers.take(key))
                viewer->setBody(body);
        });
    connect(
        downloads, &FileDownloads::failed, this, [this](const QString &key, const QString &reason) {
            if (DownloadBar *bar = downloadBars.take(key))
                bar->setFailed(reason);
            if (PictureViewer *viewer = viewers.take(key))
                viewer->setFailed(reason);
        });

    auto *input = new FileInput(this);
    input->watchDrops(chatArea);
    input->watchDrops(messageInput);
    input->watchPastes(messageInput);
    connect(input, &FileInput::filesChosen, this, &MainWindow::attachFiles);
    connect(attachButton, &QAbstractButton::clicked, this, [this] {
        attachFiles(QFileDialog::getOpenFileNames(this, QStringLiteral("Attach Files")));
    });
    connect(attachmentStrip, &AttachmentStrip::changed, this, [this] {
        sendButton->setEnabled(messageInput->isEnabled());
    });

    connect(session,
        &ChatSession::uploadProgressChanged,
        this,
        [this](const QString &, const QString &localId) { refreshMessageRow(localId); });
    connect(session,
        &ChatSession::uploadFailed,
        this,
        [this](const QString &, const QString &, const QString &reason) {
            showTimelineNotice(reason);
        });
    connect(messageDelegate(),
        &MessageDelegate::cancelUploadClicked,
        session,
        &ChatSession::cancelUpload);
    connect(messageDelegate(), &MessageDelegate::fileClicked, this, &MainWindow::openFile);
    connect(messageDelegate(), &MessageDelegate::pictureNeeded, this, &MainWindow::onPictureNeeded);

    showPictures = AppSettings().value(SettingsKey::showPicturesInMessages, false).toBool();
    picturesCheckBox->setChecked(showPictures);
    messageDelegate()->setShowPictures(showPictures);
    connect(picturesCheckBox, &QAbstractButton::toggled, this, &MainWindow::onShowPicturesToggled);
}

void MainWindow::attachFiles(const QStringList &paths)
{
    if (paths.isEmpty() || currentChatId().isEmpty() || !messageInput->isEnabled())
        return;
    const qint64 limit = session->maxUploadSize();
    QStringList accepted;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        // Refused here, before a byte goes out, with the limit in the notice.
        if (limit > 0 && info.size() > limit)
            showTimelineNotice(tooLargeRefusal(info.fileName(), limit));
        else
            accepted.append(path);
    }
    attachmentStrip->addFiles(accepted);
    messageInput->setFocus();
}

bool MainWindow::sendAttachments()
{
    if (attachmentStrip->files().isEmpty())
        return false;
    switch (session->sendFiles(attachmentStrip->files(), messageInput->text())) {
    case ChatSession::SendResult::Sent:
        attachmentStrip->clear();
        messageInput->clear();
        onCancelReply();
        break;
    case ChatSession::SendResult::FileTooLarge:
        showTimelineNotice(QStringLiteral("A file is larger than the server takes (at most %1).")
                               .arg(formattedSize(session->maxUploadSize())));
        break;
    default:
        break;
    }
    return true;
}

void MainWindow::fillFileRoles(QListWidgetItem *item, const Message &msg)
{
    const QString marker = fileMarker(msg);
    item->setData(FileMarkerRole, marker.isEmpty() ? QVariant() : QVariant(marker));
    const std::optional<ChatSession::UploadProgress> upload = session->uploadProgress(msg.id);
    item->setData(UploadProgressRole,
        upload ? QVariant(upload->total > 0 ? double(upload->sent) / double(upload->total) : 0.0)
               : QVariant());
    const bool picture =
        !marker.isEmpty() && msg.file.isPicture() && msg.file.width > 0 && msg.file.height > 0;
    item->setData(PictureSizeRole,
        picture ? QVariant(thumbnailSize(QSize(msg.file.width, msg.file.height))) : QVariant());
    item->setData(FileCardRole,
        !marker.isEmpty() && !picture
            ? QVariant(msg.file.name + QLatin1Char('\n') + formattedSize(msg.file.size))
            : QVariant());
}

void MainWindow::onShowPicturesToggled(bool checked)
{
    showPictures = checked;
    AppSettings().setValue(SettingsKey::showPicturesInMessages, checked);
    messageDelegate()->setShowPictures(checked);
    messageListWidget->doItemsLayout();
    messageListWidget->viewport()->update();
}

void MainWindow::onPictureNeeded(const QString &messageId)
{
    QListWidgetItem *row = findMessageRow(messageId);
    const Message *message = row ? messageOfRow(row) : nullptr;
    if (!message || message->file.url.isEmpty())
        return;
    const QSize size = row->data(PictureSizeRole).toSize();
    // Asked at every paint until it comes (or for good, once it failed): noted once.
    if (!pictureRows.contains(message->file.url, messageId))
        pictureRows.insert(message->file.url, messageId);
    const QPixmap thumbnail = pictureCache->thumbnail(
        message->file.url, size, messageListWidget->devicePixelRatioF(), session->httpToken());
    if (!thumbnail.isNull())
        onPictureReady(message->file.url);
}

void MainWindow::onPictureReady(const QString &url)
{
    const QStringList waiting = pictureRows.values(url);
    pictureRows.remove(url);
    for (const QString &messageId : waiting) {
        QListWidgetItem *row = findMessageRow(messageId);
        if (!row)
            continue;
        const QPixmap thumbnail = pictureCache->thumbnail(url,
            row->data(PictureSizeRole).toSize(),
            messageListWidget->devicePixelRatioF(),
            session->httpToken());
        if (!thumbnail.isNull())
            row->setData(PictureRole, thumbnail);
    }
}

void MainWindow::openFile(const QString &messageId)
{
    QListWidgetItem *row = findMessageRow(messageId);
    const Message *message = row ? messageOfRow(row) : nullptr;
    if (!message || message->file.url.isEmpty())
        return;
    const Attachment &file = message->file;
    const QString name = file.name.isEmpty() ? QStringLiteral("picture") : file.name;
    if (file.isPicture()) {
        auto *viewer = new PictureViewer(name, this);
        const QString key = QStringLiteral("view:%1:%2").arg(++transferCount).arg(file.url);
        viewers.insert(key, viewer);
        connect(viewer, &QObject::destroyed, downloads, [this, key] { downloads->cancel(key); });
        viewer->show();
        downloads->fetch(key,
            fileAddress(file.url),
            session->httpToken(),
            avatar::messagePictureLimits.maxBodyBytes);
        return;
    }
    const QString key = QStringLiteral("save:%1:%2").arg(++transferCount).arg(file.url);
    auto *bar = new DownloadBar(name);
    downloadArea->layout()->addWidget(bar);
    downloadBars.insert(key, bar);
    connect(bar, &DownloadBar::cancelRequested, downloads, [this, key] {
        downloadBars.remove(key);
        downloads->cancel(key);
    });
    downloads->save(key,
        fileAddress(file.url),
        session->httpToken(),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
        name);
}
