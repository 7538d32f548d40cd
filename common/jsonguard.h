#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

// Qt 5's JSON parser leaks the value an object's repeated key replaces, so every text that
// comes from the network is parsed through here: a text in which any object repeats a key
// never reaches Qt's parser. A real peer never repeats a key.
// Qt compares unescaped keys only up to a raw NUL byte, so "a<NUL>b" repeats "a<NUL>c" to it
// and leaks just the same; a raw NUL is not valid JSON anyway, and no peer sends one in a key.
namespace jsonguard
{

enum class Scan { Clean, RepeatedKey, NulInKey, TooDeep };

// One linear pass over the text that finds a key repeated in the same object, comparing keys as
// Qt's parser would decode them (escapes and UTF-8 alike). Malformed text scans as far as it is
// well formed, which is as far as Qt's parser would read it.
Scan scan(const char *text, qsizetype size);

// Qt's parser behind the scan. On refusal or a parse error the document is null and *errorString
// (when given) says why, in Qt's words where Qt found the error.
QJsonDocument parse(const QByteArray &text, QString *errorString = nullptr);

} // namespace jsonguard
