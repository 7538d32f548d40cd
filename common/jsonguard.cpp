#include "jsonguard.h"

#include <QJsonParseError>
#include <QSet>
#include <cstring>
#include <vector>

namespace jsonguard
{

namespace
{

    // Qt's parser refuses documents nested deeper than this itself; the scan stops there too,
    // so its memory stays bounded by the depth Qt would ever build.
    constexpr int nestingLimit = 1024;

    int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Appends the UTF-8 sequence at *p as UTF-16 and advances past it. Qt refuses text with
    // invalid UTF-8, so such bytes only need to be consumed, not decoded faithfully.
    void appendUtf8(QString &key, const unsigned char *&p, const unsigned char *end)
    {
        const unsigned lead = *p++;
        int follow = 0;
        char32_t code = lead;
        if (lead >= 0xf0) {
            follow = 3;
            code = lead & 0x07;
        } else if (lead >= 0xe0) {
            follow = 2;
            code = lead & 0x0f;
        } else if (lead >= 0xc0) {
            follow = 1;
            code = lead & 0x1f;
        } else if (lead >= 0x80) {
            key.append(QChar::ReplacementCharacter);
            return;
        }
        for (; follow > 0 && p < end && (*p & 0xc0) == 0x80; --follow)
            code = (code << 6) | (*p++ & 0x3f);
        if (follow > 0 || code > 0x10ffff) {
            key.append(QChar::ReplacementCharacter);
            return;
        }
        if (QChar::requiresSurrogates(code)) {
            key.append(QChar(QChar::highSurrogate(code)));
            key.append(QChar(QChar::lowSurrogate(code)));
        } else {
            key.append(QChar(static_cast<char16_t>(code)));
        }
    }

    // Decodes a key the way Qt's parser does: every \u escape is one UTF-16 unit (so a pair of
    // escaped surrogates equals the raw character), and an unknown escape stands for its letter.
    QString decodeKey(const unsigned char *p, const unsigned char *end)
    {
        QString key;
        key.reserve(static_cast<int>(end - p));
        while (p < end) {
            const unsigned char c = *p;
            if (c >= 0x80) {
                appendUtf8(key, p, end);
                continue;
            }
            ++p;
            if (c != '\\' || p == end) {
                key.append(QLatin1Char(static_cast<char>(c)));
                continue;
            }
            const char escaped = static_cast<char>(*p++);
            switch (escaped) {
            case 'b':
                key.append(QLatin1Char('\b'));
                break;
            case 'f':
                key.append(QLatin1Char('\f'));
                break;
            case 'n':
                key.append(QLatin1Char('\n'));
                break;
            case 'r':
                key.append(QLatin1Char('\r'));
                break;
            case 't':
                key.append(QLatin1Char('\t'));
                break;
            case 'u': {
                char16_t unit = 0;
                int digits = 0;
                for (; digits < 4 && p < end && hexValue(static_cast<char>(*p)) >= 0; ++digits)
                    unit = static_cast<char16_t>(unit * 16 + hexValue(static_cast<char>(*p++)));
                // Qt refuses a short \u escape, so the key never counts.
                key.append(digits == 4 ? QChar(unit) : QChar::ReplacementCharacter);
                break;
            }
            default:
                key.append(QLatin1Char(escaped));
                break;
            }
        }
        return key;
    }

} // namespace

Scan scan(const char *text, qsizetype size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const auto *end = p + size;
    // One entry per open container: true for an object. Key sets are kept per open object
    // and reused when the nesting returns to the same depth.
    std::vector<bool> containers;
    std::vector<QSet<QString>> keys;
    int openObjects = 0;
    bool expectKey = false;
    while (p < end) {
        switch (*p++) {
        case '{':
            if (containers.size() >= static_cast<size_t>(nestingLimit))
                return Scan::TooDeep;
            containers.push_back(true);
            if (keys.size() <= static_cast<size_t>(openObjects))
                keys.emplace_back();
            else
                keys[static_cast<size_t>(openObjects)].clear();
            ++openObjects;
            expectKey = true;
            break;
        case '[':
            if (containers.size() >= static_cast<size_t>(nestingLimit))
                return Scan::TooDeep;
            containers.push_back(false);
            expectKey = false;
            break;
        case '}':
        case ']':
            if (!containers.empty()) {
                if (containers.back())
                    --openObjects;
                containers.pop_back();
            }
            expectKey = false;
            break;
        case ',':
            expectKey = !containers.empty() && containers.back();
            break;
        case ':':
            expectKey = false;
            break;
        case '"': {
            const auto *start = p;
            bool plain = true;
            while (p < end && *p != '"') {
                if (*p == '\\') {
                    plain = false;
                    ++p;
                }
                if (p < end && *p >= 0x80)
                    plain = false;
                ++p;
            }
            if (p >= end)
                return Scan::Clean;
            const auto *stop = p++;
            if (expectKey) {
                if (std::memchr(start, 0, static_cast<size_t>(stop - start)))
                    return Scan::NulInKey;
                const QString key = plain
                    ? QString::fromLatin1(
                        reinterpret_cast<const char *>(start), static_cast<int>(stop - start))
                    : decodeKey(start, stop);
                QSet<QString> &seen = keys[static_cast<size_t>(openObjects - 1)];
                const int before = seen.size();
                seen.insert(key);
                if (seen.size() == before)
                    return Scan::RepeatedKey;
            }
            expectKey = false;
            break;
        }
        default:
            break;
        }
    }
    return Scan::Clean;
}

QJsonDocument parse(const QByteArray &text, QString *errorString)
{
    QJsonParseError error {};
    switch (scan(text.constData(), text.size())) {
    case Scan::RepeatedKey:
        if (errorString)
            *errorString = QStringLiteral("an object repeats a key");
        return {};
    case Scan::NulInKey:
        if (errorString)
            *errorString = QStringLiteral("an object key holds a NUL byte");
        return {};
    case Scan::TooDeep:
        error.error = QJsonParseError::DeepNesting;
        if (errorString)
            *errorString = error.errorString();
        return {};
    case Scan::Clean:
        break;
    }
    QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (errorString)
        *errorString = error.error == QJsonParseError::NoError ? QString() : error.errorString();
    return document;
}

} // namespace jsonguard
