#include "jsonview.h"

#include <algorithm>
#include <vector>

namespace wire
{

namespace
{

    // Objects of a real frame hold a dozen keys at most, and comparing each with the ones before
    // it is cheapest for them; a hostile object with many keys is sorted instead.
    constexpr size_t fewKeys = 16;

    bool repeatsOwnKey(simdjson::dom::object object, std::vector<std::string_view> &keys)
    {
        const size_t first = keys.size();
        for (const simdjson::dom::key_value_pair field : object)
            keys.push_back(field.key);
        const auto begin = keys.begin() + static_cast<std::ptrdiff_t>(first);
        bool repeated = false;
        if (keys.size() - first > fewKeys) {
            std::sort(begin, keys.end());
            repeated = std::adjacent_find(begin, keys.end()) != keys.end();
        } else {
            for (auto key = begin; key != keys.end() && !repeated; ++key)
                repeated = std::find(begin, key, *key) != key;
        }
        keys.resize(first);
        return repeated;
    }

    bool repeatsKey(simdjson::dom::element element, std::vector<std::string_view> &keys)
    {
        simdjson::dom::array array;
        if (!element.get(array)) {
            for (const simdjson::dom::element item : array) {
                if (repeatsKey(item, keys))
                    return true;
            }
            return false;
        }
        simdjson::dom::object object;
        if (element.get(object))
            return false;
        if (repeatsOwnKey(object, keys))
            return true;
        for (const simdjson::dom::key_value_pair field : object) {
            if (repeatsKey(field.value, keys))
                return true;
        }
        return false;
    }

} // namespace

FrameParser::Result FrameParser::parse(const QByteArray &text)
{
    if (parser.parse(text.constData(), static_cast<size_t>(text.size())).get(document))
        return Result::NotRead;
    std::vector<std::string_view> keys;
    return repeatsKey(document, keys) ? Result::Refused : Result::Parsed;
}

void FrameParser::release()
{
    document = simdjson::dom::element();
    parser = simdjson::dom::parser();
}

} // namespace wire
