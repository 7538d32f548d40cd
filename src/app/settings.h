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
constexpr QLatin1String darkMode("darkMode");
constexpr QLatin1String notificationsEnabled("notificationsEnabled");
constexpr QLatin1String username("username");
constexpr QLatin1String password("password");
} // namespace SettingsKey
