#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Builders and readers of chat frames shared by the server tests.

QString typeOf(const QJsonObject &frame);
QStringList sorted(QStringList list);
QStringList keysOf(const QJsonObject &object);

// A message content object as the client sends it.
QJsonObject content(const QString &text);
// A "message" request to `target` given as `key` ("chatId" or "recipientId").
QJsonObject messageTo(const QString &key,
    const QString &target,
    const QString &text,
    const QJsonValue &replyToId = QJsonValue::Null);
QJsonObject seenRequest(const QString &chatId, const QString &messageId);
QJsonObject historyRequest(const QString &chatId, double before);

// Keys of a message object and of a chat object on the wire, sorted.
QStringList messageKeys();
QStringList chatKeys();
