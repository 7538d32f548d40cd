// libFuzzer target: one inbound text frame through what the client runs on receipt, short of a
// window: the guarded parse, the conversions to records, and the signals they feed.
#include "net/websocketclient.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

namespace
{

WebSocketClient *client = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static auto *application = new QCoreApplication(*argc, *argv);
    client = new WebSocketClient(application);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    // The receipt slot is private to the connection class; its socket would deliver the frame
    // exactly so.
    QMetaObject::invokeMethod(
        client, "onTextMessageReceived", Qt::DirectConnection, Q_ARG(QString, text));
    return 0;
}
