#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QScrollArea;
class PictureCanvas;

// A window showing one picture of a message: fitted to the window at first, zoomed with
// Ctrl+wheel or Ctrl+plus/minus (Ctrl+0 fits again), and saved with "Save As…". The picture is
// decoded under the same bounds as avatars; one that does not pass shows a notice instead, and
// can still be saved.
class PictureViewer : public QWidget
{
    Q_OBJECT

public:
    explicit PictureViewer(const QString &name, QWidget *parent = nullptr);

    // The picture's file as downloaded.
    void setBody(const QByteArray &body);
    void setFailed(const QString &reason);

    bool hasPicture() const;
    // Scale of the picture on screen; 1 is one picture pixel per logical pixel.
    double zoom() const;
    bool isFitted() const;
    void zoomBy(double factor);
    void fitToWindow();
    // Writes the downloaded file to `path`; false when it cannot.
    bool saveTo(const QString &path) const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void saveAs();
    void applyZoom();

    QString fileName;
    QByteArray body;
    QImage picture;
    double scale = 1.0;
    bool fitted = true;
    QScrollArea *area;
    PictureCanvas *canvas;
    QLabel *notice;
    QPushButton *saveButton;
};
