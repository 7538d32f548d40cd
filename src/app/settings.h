#pragma once

#include <QLatin1String>
#include <QSettings>

// The client's settings store. Open a fresh one at each use, on the stack, so that every reader
// sees what the last writer stored.
class AppSettings : public QSettings
{
public:
    AppSettings()
        : QSettings(QStringLiteral("Ferrow"), QStringLiteral("MessengerClient"))
    {
    }
};

namespace SettingsKey
{
// QLatin1String's constructor from a bare pointer calls strlen, which is no constant expression
// for every compiler; the length of a literal is.
template <int size> constexpr QLatin1String key(const char (&text)[size])
{
    return QLatin1String(text, size - 1);
}

constexpr QLatin1String darkMode = key("darkMode");
constexpr QLatin1String notificationsEnabled = key("notificationsEnabled");
constexpr QLatin1String username = key("username");
constexpr QLatin1String password = key("password");
constexpr QLatin1String windowGeometry = key("windowGeometry");
constexpr QLatin1String showPreviews = key("showPreviews");
constexpr QLatin1String sendTypingNotifications = key("sendTypingNotifications");
constexpr QLatin1String showPicturesInMessages = key("showPicturesInMessages");
} // namespace SettingsKey
