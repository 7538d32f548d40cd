// libFuzzer target: arbitrary bytes as a downloaded avatar, through the decode and the crop.
#include "view/avatarimage.h"

#include <QGuiApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Never destroyed: Qt's platform plugin leaves its screens behind when the application goes.
    static auto *application = new QGuiApplication(*argc, *argv);
    Q_UNUSED(application)
    // The first painter loads fonts and the like once; that should not count against an input.
    QImage warmUp(4, 4, QImage::Format_ARGB32);
    warmUp.fill(Qt::white);
    avatar::circularAvatar(warmUp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    if (const std::optional<QImage> picture = avatar::decodePicture(body))
        avatar::circularAvatar(*picture);
    return 0;
}
