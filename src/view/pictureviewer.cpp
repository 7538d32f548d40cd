#include "pictureviewer.h"

#include "view/avatarimage.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace
{

// Beyond these a picture is a dot or one pixel fills the window: nothing more to see.
constexpr double minZoom = 0.02;
constexpr double maxZoom = 16.0;
constexpr double zoomStep = 1.25;

} // namespace

// Paints the picture at the viewer's scale, only where it is exposed, so that a large zoom
// allocates nothing.
class PictureCanvas : public QWidget
{
public:
    explicit PictureCanvas(QWidget *parent)
        : QWidget(parent)
    {
    }

    QImage picture;

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (picture.isNull())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, width() < picture.width() * 2);
        painter.drawImage(rect(), picture);
    }
};

PictureViewer::PictureViewer(const QString &name, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , fileName(name)
    , area(new QScrollArea)
    , canvas(new PictureCanvas(nullptr))
    , notice(new QLabel(QStringLiteral("Loading…")))
    , saveButton(new QPushButton(QStringLiteral("Save As…")))
{
    setAttribute(Qt::WA_DeleteOnClose);
    // A window of its own: the theme paints its background as it does the main window's.
    setObjectName(QStringLiteral("pictureViewer"));
    setAttribute(Qt::WA_StyledBackground);
    setWindowTitle(name);
    resize(800, 600);
    area->setAlignment(Qt::AlignCenter);
    area->setWidget(canvas);
    area->setFrameShape(QFrame::NoFrame);
    // Around a picture smaller than the window, the themed background shows.
    area->viewport()->setAutoFillBackground(false);
    area->viewport()->installEventFilter(this);
    area->hide();
    notice->setObjectName(QStringLiteral("pictureNotice"));
    notice->setAlignment(Qt::AlignCenter);
    notice->setWordWrap(true);
    saveButton->setObjectName(QStringLiteral("saveAs"));
    saveButton->setEnabled(false);
    connect(saveButton, &QAbstractButton::clicked, this, &PictureViewer::saveAs);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area, 1);
    layout->addWidget(notice, 1);
    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(8, 4, 8, 8);
    bar->addStretch();
    bar->addWidget(saveButton);
    layout->addLayout(bar);

    const auto shortcut = [this](const QKeySequence &keys, auto action) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence::ZoomIn, [this] { zoomBy(zoomStep); });
    // Ctrl+= is where Ctrl++ lies on most keyboards.
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal), [this] { zoomBy(zoomStep); });
    shortcut(QKeySequence::ZoomOut, [this] { zoomBy(1 / zoomStep); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_0), [this] { fitToWindow(); });
    shortcut(QKeySequence::Save, [this] { saveAs(); });
    shortcut(QKeySequence(Qt::Key_Escape), [this] { close(); });
}

void PictureViewer::setBody(const QByteArray &downloaded)
{
    body = downloaded;
    saveButton->setEnabled(!body.isEmpty());
    const std::optional<QImage> decoded = avatar::decodePicture(body, avatar::messagePictureLimits);
    if (!decoded) {
        setFailed(QStringLiteral("This picture cannot be shown here; \"Save As…\" keeps a copy."));
        return;
    }
    picture = *decoded;
    canvas->picture = picture;
    notice->hide();
    area->show();
    fitToWindow();
}

void PictureViewer::setFailed(const QString &reason)
{
    picture = QImage();
    canvas->picture = QImage();
    area->hide();
    notice->setText(reason);
    notice->show();
}

bool PictureViewer::hasPicture() const
{
    return !picture.isNull();
}

double PictureViewer::zoom() const
{
    return scale;
}

bool PictureViewer::isFitted() const
{
    return fitted;
}

void PictureViewer::zoomBy(double factor)
{
    if (picture.isNull())
        return;
    scale = std::clamp(scale * factor, minZoom, maxZoom);
    fitted = false;
    applyZoom();
}

void PictureViewer::fitToWindow()
{
    if (picture.isNull())
        return;
    const QSize room = area->maximumViewportSize();
    // A small picture keeps its size; a large one shrinks to the window.
    scale = std::min(
        { 1.0, double(room.width()) / picture.width(), double(room.height()) / picture.height() });
    scale = std::max(scale, minZoom);
    fitted = true;
    applyZoom();
}

void PictureViewer::applyZoom()
{
    const QSize shown(std::max(1, qRound(picture.width() * scale)),
        std::max(1, qRound(picture.height() * scale)));
    canvas->setFixedSize(shown);
    canvas->update();
}

bool PictureViewer::saveTo(const QString &path) const
{
    QSaveFile file(path);
    if (body.isEmpty() || !file.open(QIODevice::WriteOnly))
        return false;
    file.write(body);
    return file.commit();
}

void PictureViewer::saveAs()
{
    if (body.isEmpty())
        return;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save As"), folder + QLatin1Char('/') + fileName);
    if (!path.isEmpty() && !saveTo(path))
        notice->setText(QStringLiteral("%1 could not be written.").arg(path));
}

void PictureViewer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (fitted)
        fitToWindow();
}

bool PictureViewer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == area->viewport() && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            // A notch is 120; touchpads send parts of one.
            const double notches = wheel->angleDelta().y() / 120.0;
            if (notches != 0)
                zoomBy(std::pow(zoomStep, notches));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
