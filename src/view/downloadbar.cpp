#include "downloadbar.h"

#include "model/attachment.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

DownloadBar::DownloadBar(const QString &fileName, QWidget *parent)
    : QWidget(parent)
    , name(fileName)
    , label(new QLabel(QStringLiteral("Downloading %1…").arg(fileName)))
    , bar(new QProgressBar)
    , cancelButton(new QPushButton(QStringLiteral("Cancel")))
    , openButton(new QPushButton(QStringLiteral("Open")))
    , folderButton(new QPushButton(QStringLiteral("Show in Folder")))
{
    setObjectName(QStringLiteral("downloadBar"));
    setAttribute(Qt::WA_DeleteOnClose);
    label->setObjectName(QStringLiteral("downloadLabel"));
    bar->setRange(0, 0);
    bar->setMaximumWidth(160);
    bar->setTextVisible(false);
    bar->setFixedHeight(8);
    openButton->setObjectName(QStringLiteral("openDownload"));
    folderButton->setObjectName(QStringLiteral("showDownloadInFolder"));
    openButton->hide();
    folderButton->hide();
    auto *close = new QPushButton(QStringLiteral("X"));
    close->setObjectName(QStringLiteral("closeDownload"));
    close->setFixedSize(25, 25);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 2, 10, 2);
    layout->addWidget(label, 1);
    layout->addWidget(bar);
    layout->addWidget(cancelButton);
    layout->addWidget(openButton);
    layout->addWidget(folderButton);
    layout->addWidget(close);
    for (QPushButton *button : { cancelButton, openButton, folderButton, close })
        button->setCursor(Qt::PointingHandCursor);
    connect(cancelButton, &QAbstractButton::clicked, this, [this] {
        emit cancelRequested();
        this->close();
    });
    connect(close, &QAbstractButton::clicked, this, [this] {
        if (cancelButton->isVisible())
            emit cancelRequested();
        this->close();
    });
    connect(openButton, &QAbstractButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    });
    connect(folderButton, &QAbstractButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    });
}

void DownloadBar::setProgress(qint64 received, qint64 total)
{
    if (total <= 0)
        return;
    bar->setRange(0, 1000);
    bar->setValue(int(received * 1000 / total));
    label->setText(QStringLiteral("Downloading %1… %2 of %3")
                       .arg(name, formattedSize(received), formattedSize(total)));
}

void DownloadBar::setSaved(const QString &savedPath)
{
    path = savedPath;
    label->setText(QStringLiteral("%1 is in %2")
                       .arg(QFileInfo(path).fileName(),
                           QDir::toNativeSeparators(QFileInfo(path).absolutePath())));
    bar->hide();
    cancelButton->hide();
    openButton->show();
    folderButton->show();
}

void DownloadBar::setFailed(const QString &reason)
{
    label->setText(QStringLiteral("%1 was not downloaded: %2").arg(name, reason));
    bar->hide();
    cancelButton->hide();
}

const QString &DownloadBar::savedPath() const
{
    return path;
}
