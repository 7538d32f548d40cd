#pragma once

#include <QString>

// A display name may end in a coloured tag: `Name [#1e88e5, "Admin"]`.
struct NameTag {
    QString name; // the name without its tag, trimmed; the whole string when there is no tag
    QString colour; // "#" and six hex digits; empty without a tag
    QString label; // the tag's text; empty without a tag

    bool hasTag() const
    {
        return !colour.isEmpty();
    }
};

NameTag parseNameTag(const QString &displayName);
