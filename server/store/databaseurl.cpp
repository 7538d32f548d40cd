#include "databaseurl.h"

#include <QUrl>

namespace
{

QString decoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

QString encoded(const QString &part, const QByteArray &keep = QByteArray())
{
    return QString::fromLatin1(QUrl::toPercentEncoding(part, keep));
}

} // namespace

bool DatabaseUrl::looksLikeUrl(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://"))
        || text.startsWith(QLatin1String("postgres://"));
}

std::optional<DatabaseUrl> DatabaseUrl::parse(const QString &text, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<DatabaseUrl> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!looksLikeUrl(text))
        return fail(QStringLiteral("a database URL begins with postgresql://"));
    // Split by hand rather than by QUrl, which would mend or refuse what libpq accepts (a socket
    // folder as the host, an empty host).
    QString rest = text.mid(text.indexOf(QLatin1String("://")) + 3);
    DatabaseUrl url;
    QString query;
    const int questionMark = rest.indexOf(QLatin1Char('?'));
    if (questionMark >= 0) {
        query = rest.mid(questionMark + 1);
        rest.truncate(questionMark);
    }
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        url.databaseName = decoded(rest.mid(slash + 1));
        rest.truncate(slash);
    }
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        rest = rest.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        url.user = decoded(colon >= 0 ? userInfo.left(colon) : userInfo);
        if (colon >= 0)
            url.password = decoded(userInfo.mid(colon + 1));
    }
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("the database URL has an unclosed [ in its host"));
        url.host = rest.mid(1, close - 1);
        rest = rest.mid(close + 1);
        if (rest.startsWith(QLatin1Char(':')))
            portText = rest.mid(1);
        else if (!rest.isEmpty())
            return fail(QStringLiteral("the database URL has text after its host"));
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        url.host = decoded(colon >= 0 ? rest.left(colon) : rest);
        if (colon >= 0)
            portText = rest.mid(colon + 1);
    }
    const auto setPort = [&url](const QString &value) {
        bool ok = false;
        const int port = value.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return false;
        url.port = port;
        return true;
    };
    if (!portText.isEmpty() && !setPort(portText))
        return fail(QStringLiteral("the database URL has an invalid port"));
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const int equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(QStringLiteral("the database URL has a parameter without a value"));
        const QString key = decoded(pair.left(equals));
        const QString value = decoded(pair.mid(equals + 1));
        if (key == QLatin1String("host"))
            url.host = value;
        else if (key == QLatin1String("port")) {
            if (!setPort(value))
                return fail(QStringLiteral("the database URL has an invalid port"));
        } else if (key == QLatin1String("user"))
            url.user = value;
        else if (key == QLatin1String("password"))
            url.password = value;
        else if (key == QLatin1String("dbname"))
            url.databaseName = value;
        else if (value.contains(QLatin1Char(';')) || key.contains(QLatin1Char(';')))
            // Qt joins the parameters with ";".
            return fail(QStringLiteral("the database URL parameter %1 holds a ;").arg(key));
        else
            url.parameters.append(key + QLatin1Char('=') + value);
    }
    if (url.databaseName.isEmpty())
        return fail(QStringLiteral("the database URL names no database"));
    return url;
}

QString DatabaseUrl::redacted() const
{
    DatabaseUrl shown = *this;
    if (!shown.password.isEmpty())
        shown.password = QStringLiteral("xxxxx");
    return shown.toString();
}

QString DatabaseUrl::toString() const
{
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty() || !password.isEmpty()) {
        text += encoded(user);
        if (!password.isEmpty())
            text += QLatin1Char(':') + encoded(password);
        text += QLatin1Char('@');
    }
    const bool socketFolder = host.startsWith(QLatin1Char('/'));
    if (!socketFolder)
        text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']')
                                                : encoded(host);
    if (port > 0)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + encoded(databaseName);
    QStringList query;
    if (socketFolder)
        query.append(QStringLiteral("host=") + encoded(host, "/"));
    for (const QString &parameter : parameters) {
        const int equals = parameter.indexOf(QLatin1Char('='));
        query.append(encoded(parameter.left(equals)) + QLatin1Char('=')
            + encoded(parameter.mid(equals + 1)));
    }
    if (!query.isEmpty())
        text += QLatin1Char('?') + query.join(QLatin1Char('&'));
    return text;
}
