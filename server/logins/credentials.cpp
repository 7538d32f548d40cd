#include "credentials.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

namespace credentials
{

namespace
{

    const QLatin1String scheme("pbkdf2-sha256");
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

} // namespace

QString hashPassword(const QString &password, int rounds)
{
    const QByteArray salt = randomBytes(saltBytes);
    return scheme + QLatin1Char('$') + QString::number(rounds) + QLatin1Char('$')
        + QString::fromLatin1(salt.toHex()) + QLatin1Char('$')
        + QString::fromLatin1(derive(password, salt, rounds).toHex());
}

bool verifyPassword(
    const QString &password, const QString &stored, const std::atomic_bool *cancelled)
{
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
