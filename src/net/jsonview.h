#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>
#include <algorithm>
#include <simdjson.h>
#include <string_view>
#include <vector>

// Two read-only views of a parsed JSON value with one small interface, so that the conversions
// from frames to records are written once for both parsers. A missing key or an element of the
// wrong kind reads as an absent value, and absent values read as empty strings and no number.
namespace wire
{

class QtJsonView
{
public:
    QtJsonView() = default;
    explicit QtJsonView(QJsonValue value)
        : value(std::move(value))
    {
    }

    bool isString() const
    {
        return value.isString();
    }
    QString toString() const
    {
        return value.toString();
    }
    bool isNumber() const
    {
        return value.isDouble();
    }
    double toNumber() const
    {
        return value.toDouble();
    }
    bool isNullOrAbsent() const
    {
        return value.isNull() || value.isUndefined();
    }
    QtJsonView operator[](QLatin1String key) const
    {
        return QtJsonView(value[key]);
    }

    // Calls `visit` with each element of an array, at most `limit` of them.
    template <typename Visit> void forEach(int limit, Visit visit) const
    {
        const QJsonArray array = value.toArray();
        const int count = std::min(array.size(), limit);
        for (int i = 0; i < count; ++i)
            visit(QtJsonView(array.at(i)));
    }
    int size(int limit) const
    {
        return std::min(value.toArray().size(), limit);
    }

private:
    QJsonValue value;
};

class SimdJsonView
{
public:
    SimdJsonView() = default;
    explicit SimdJsonView(simdjson::dom::element element)
        : element(element)
        , present(true)
    {
    }

    bool isString() const
    {
        return present && element.is_string();
    }
    QString toString() const
    {
        std::string_view text;
        if (!present || element.get(text))
            return QString();
        return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    }
    bool isNumber() const
    {
        return present && element.is_number();
    }
    double toNumber() const
    {
        double number = 0;
        if (!present || element.get(number))
            return 0;
        return number;
    }
    bool isNullOrAbsent() const
    {
        return !present || element.is_null();
    }
    SimdJsonView operator[](QLatin1String key) const
    {
        simdjson::dom::object object;
        simdjson::dom::element found;
        if (!present || element.get(object)
            || object.at_key(std::string_view(key.data(), static_cast<size_t>(key.size())))
                   .get(found))
            return SimdJsonView();
        return SimdJsonView(found);
    }

    template <typename Visit> void forEach(int limit, Visit visit) const
    {
        simdjson::dom::array array;
        if (!present || element.get(array))
            return;
        int count = 0;
        for (const simdjson::dom::element item : array) {
            if (count++ == limit)
                return;
            visit(SimdJsonView(item));
        }
    }
    int size(int limit) const
    {
        simdjson::dom::array array;
        if (!present || element.get(array))
            return 0;
        return static_cast<int>(std::min(array.size(), static_cast<size_t>(limit)));
    }

private:
    simdjson::dom::element element;
    bool present = false;
};

// The conversions of wireformat.h, for either view (instantiated for both in wireformat.cpp).
template <typename View> qint64 timeOf(const View &value);
template <typename View> int countOf(const View &value);
// A size in bytes: a whole number up to 2^53, else 0.
template <typename View> qint64 byteCount(const View &value);
template <typename View> QString contentTextOf(const View &content);
template <typename View> User userOf(const View &object);
template <typename View> Message messageOf(const View &object);
template <typename View> Chat newChatOf(const View &object);
template <typename View> Chat chatOf(const View &object);
template <typename View> std::vector<Chat> chatsOf(const View &chats);
template <typename View> std::vector<User> usersOf(const View &users);
// The "results" of "search_results": message objects of a chat; anything else is left out.
template <typename View> std::vector<Message> searchResultsOf(const View &results);

// simdjson reads a frame many times faster than Qt's parser and builds no Qt values on the way.
// Text it refuses but Qt accepts (an escaped lone surrogate, an integer beyond 64 bits) goes to
// Qt's parser instead, so that what a frame means never depends on which parser read it.
class FrameParser
{
public:
    enum class Result {
        Parsed,
        // The text repeats a key within one object; no peer does, and Qt's parser would not
        // take it either.
        Refused,
        // Read it through jsonguard::parse instead.
        NotRead,
    };

    Result parse(const QByteArray &text);
    // The parsed frame, valid until the next parse or release.
    SimdJsonView root() const
    {
        return SimdJsonView(document);
    }
    // Hands back the buffers a large frame made the parser grow.
    void release();

private:
    simdjson::dom::parser parser;
    simdjson::dom::element document;
};

} // namespace wire
