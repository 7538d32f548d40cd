#pragma once

#include <QByteArray>

// The checks on a WebSocket opening handshake that Qt leaves out, as pure functions: Qt closes
// the connection without a word on most bad handshakes and takes a key of any shape.
namespace handshake
{

// 0 when `requestHead` (request line and headers, without the blank line) is a valid opening
// handshake: GET over HTTP/1.1, "Upgrade: websocket", "Connection: Upgrade", a
// "Sec-WebSocket-Key" of 16 bytes in base64 and "Sec-WebSocket-Version: 13". Else the status
// to refuse it with: 426 for another version, 400 for anything else.
int check(const QByteArray &requestHead);

// The whole response refusing a handshake with `status`; a 426 names the version we speak.
QByteArray refusal(int status);

} // namespace handshake
