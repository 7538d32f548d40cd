#include "credentials.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QtEndian>
#include <cstring>
#include <mutex>
#include <sodium.h>

namespace credentials
{

namespace
{

    const QLatin1String scheme("pbkdf2-sha256");
    const QLatin1String argon2idPrefix("$argon2id$");
    // Stored hashes asking for more are refused unchecked: nothing here makes them, and one
    // check must not hold a core for seconds or take more than its share of memory.
    constexpr unsigned long long maxOpsLimit = 10;
    constexpr unsigned long long maxMemKiB = 64 * 1024;
    constexpr unsigned long long maxLanes = 4;
    constexpr int saltBytes = 16;
    constexpr int hashBytes = 32;
    // Refuses stored hashes that would make one login take minutes.
    constexpr int maxIterations = 10000000;

    QByteArray randomBytes(int count)
    {
        QByteArray bytes(count, Qt::Uninitialized);
        QRandomGenerator *generator = QRandomGenerator::system();
        for (int i = 0; i < count; ++i)
            bytes[i] = static_cast<char>(generator->bounded(256));
        return bytes;
    }

    QByteArray derive(const QString &password, const QByteArray &salt, int rounds)
    {
        return QPasswordDigestor::deriveKeyPbkdf2(
            QCryptographicHash::Sha256, password.toUtf8(), salt, rounds, hashBytes);
    }

    // PBKDF2 as deriveKeyPbkdf2 computes it, for keys of one block, looking at `cancelled`
    // between rounds: a check whose client has gone should not hold a core for its full time.
    QByteArray deriveCancellable(const QString &password,
        const QByteArray &salt,
        int rounds,
        const std::atomic_bool &cancelled)
    {
        QMessageAuthenticationCode hmac(QCryptographicHash::Sha256, password.toUtf8());
        char blockIndex[4];
        qToBigEndian<quint32>(1, blockIndex);
        hmac.addData(salt);
        hmac.addData(blockIndex, 4);
        QByteArray u = hmac.result();
        QByteArray key = u;
        for (int round = 1; round < rounds; ++round) {
            if (round % 1024 == 0 && cancelled.load(std::memory_order_relaxed))
                return QByteArray();
            hmac.reset();
            hmac.addData(u);
            u = hmac.result();
            for (int i = 0; i < key.size(); ++i)
                key[i] = char(key.at(i) ^ u.at(i));
        }
        return key;
    }

    bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
    {
        if (a.size() != b.size())
            return false;
        unsigned char difference = 0;
        for (int i = 0; i < a.size(); ++i)
            difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
        return difference == 0;
    }

    void initSodium()
    {
        static std::once_flag once;
        std::call_once(once, [] {
            if (sodium_init() < 0)
                qFatal("libsodium cannot be initialised");
        });
    }

    // Whether an Argon2id string is one libsodium may be handed: well-formed, NUL-terminated
    // within its buffer, and within the limits above.
    bool acceptableArgon2id(const QByteArray &stored)
    {
        static const QRegularExpression format(
            QStringLiteral("^\\$argon2id\\$v=19\\$m=(\\d{1,10}),t=(\\d{1,10}),p=(\\d{1,3})"
                           "\\$[A-Za-z0-9+/]{11,64}\\$[A-Za-z0-9+/]{16,128}$"));
        if (stored.size() >= int(crypto_pwhash_STRBYTES))
            return false;
        const QRegularExpressionMatch match = format.match(QString::fromLatin1(stored));
        if (!match.hasMatch())
            return false;
        const unsigned long long memKiB = match.captured(1).toULongLong();
        const unsigned long long ops = match.captured(2).toULongLong();
        const unsigned long long lanes = match.captured(3).toULongLong();
        return memKiB >= 8 && memKiB <= maxMemKiB && ops >= 1 && ops <= maxOpsLimit && lanes >= 1
            && lanes <= maxLanes;
    }

    bool verifyArgon2id(const QString &password, const QString &stored)
    {
        const QByteArray text = stored.toLatin1();
        if (!acceptableArgon2id(text))
            return false;
        initSodium();
        char buffer[crypto_pwhash_STRBYTES] = {};
        std::memcpy(buffer, text.constData(), size_t(text.size()));
        const QByteArray bytes = password.toUtf8();
        return crypto_pwhash_str_verify(buffer, bytes.constData(), quint64(bytes.size())) == 0;
    }

} // namespace

QString hashPassword(const QString &password, const Limits &limits)
{
    initSodium();
    const QByteArray bytes = password.toUtf8();
    char out[crypto_pwhash_STRBYTES] = {};
    if (crypto_pwhash_str(
            out, bytes.constData(), quint64(bytes.size()), limits.opsLimit, limits.memLimit)
        != 0)
        return QString();
    return QString::fromLatin1(out);
}

QString hashPasswordPbkdf2(const QString &password, int rounds)
{
    const QByteArray salt = randomBytes(saltBytes);
    return scheme + QLatin1Char('$') + QString::number(rounds) + QLatin1Char('$')
        + QString::fromLatin1(salt.toHex()) + QLatin1Char('$')
        + QString::fromLatin1(derive(password, salt, rounds).toHex());
}

bool verifyPassword(
    const QString &password, const QString &stored, const std::atomic_bool *cancelled)
{
    // Nobody types one; and HMAC pads its key with NULs, so that PBKDF2 would take "pw" followed
    // by NULs for "pw".
    if (password.contains(QChar(0)))
        return false;
    if (stored.startsWith(argon2idPrefix))
        return verifyArgon2id(password, stored);
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts.at(0) != scheme)
        return false;
    bool ok = false;
    const int rounds = parts.at(1).toInt(&ok);
    if (!ok || rounds < 1 || rounds > maxIterations)
        return false;
    const QByteArray salt = QByteArray::fromHex(parts.at(2).toLatin1());
    const QByteArray expected = QByteArray::fromHex(parts.at(3).toLatin1());
    if (salt.isEmpty() || expected.size() != hashBytes)
        return false;
    if (!cancelled)
        return constantTimeEquals(derive(password, salt, rounds), expected);
    const QByteArray derived = deriveCancellable(password, salt, rounds, *cancelled);
    return !derived.isEmpty() && constantTimeEquals(derived, expected);
}

bool needsRehash(const QString &stored, const Limits &limits)
{
    if (!stored.startsWith(argon2idPrefix))
        return true;
    initSodium();
    const QByteArray text = stored.toLatin1();
    if (text.size() >= int(crypto_pwhash_STRBYTES))
        return true;
    char buffer[crypto_pwhash_STRBYTES] = {};
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    return crypto_pwhash_str_needs_rehash(buffer, limits.opsLimit, limits.memLimit) != 0;
}

QString randomHex(int byteCount)
{
    return QString::fromLatin1(randomBytes(byteCount).toHex());
}

QString newToken()
{
    return randomHex(32);
}

QString tokenHash(const QString &token)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace credentials
