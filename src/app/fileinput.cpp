#include "fileinput.h"

#include <QClipboard>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

FileInput::FileInput(QObject *parent)
    : QObject(parent)
{
}

void FileInput::watchDrops(QWidget *widget)
{
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
}

void FileInput::watchPastes(QWidget *composer)
{
    composer->installEventFilter(this);
}

QStringList FileInput::filesOf(const QMimeData *data)
{
    QStringList paths;
    if (!data)
        return paths;
    if (data->hasUrls()) {
        for (const QUrl &url : data->urls()) {
            if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
                paths.append(url.toLocalFile());
        }
        if (!paths.isEmpty())
            return paths;
    }
    if (!data->hasImage() || !pasted.isValid())
        return paths;
    const QImage image = qvariant_cast<QImage>(data->imageData());
    if (image.isNull())
        return paths;
    // Named by the time it was pasted, so that the receiver sees something telling.
    const QString name =
        QStringLiteral("Pasted picture %1%2.png")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh.mm.ss")),
                pastedCount > 0 ? QStringLiteral(" %1").arg(pastedCount) : QString());
    ++pastedCount;
    const QString path = pasted.filePath(name);
    if (image.save(path, "PNG"))
        paths.append(path);
    return paths;
}

bool FileInput::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDropEvent *>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
        break;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QStringList paths = filesOf(drop->mimeData());
        if (!paths.isEmpty()) {
            drop->acceptProposedAction();
            emit filesChosen(paths);
            return true;
        }
        break;
    }
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent *>(event)->matches(QKeySequence::Paste)) {
            // Text pastes as text; only a picture or copied files become attachments.
            const QStringList paths = filesOf(QGuiApplication::clipboard()->mimeData());
            if (!paths.isEmpty()) {
                emit filesChosen(paths);
                return true;
            }
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
