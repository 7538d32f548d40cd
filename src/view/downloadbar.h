#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

// One file coming down, above the composer: its name and progress with "Cancel"; once saved,
// "Open" and "Show in Folder"; on failure, why. Closed by its "X".
class DownloadBar : public QWidget
{
    Q_OBJECT

public:
    explicit DownloadBar(const QString &name, QWidget *parent = nullptr);

    void setProgress(qint64 received, qint64 total);
    void setSaved(const QString &path);
    void setFailed(const QString &reason);
    const QString &savedPath() const;

signals:
    void cancelRequested();

private:
    QString name;
    QString path;
    QLabel *label;
    QProgressBar *bar;
    QPushButton *cancelButton;
    QPushButton *openButton;
    QPushButton *folderButton;
};
