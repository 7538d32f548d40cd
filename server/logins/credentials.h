#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>

// Password hashing and the random secrets the server hands out.
namespace credentials
{

// PBKDF2-HMAC-SHA256 rounds for new hashes. About 0.2 s per hash on a 2020s desktop core:
// slow enough to make guessing stolen hashes costly, fast enough that a login does not feel slow.
constexpr int iterations = 100000;

// A stored password: "pbkdf2-sha256$ROUNDS$SALT_HEX$HASH_HEX" with a fresh random salt. The
// rounds are stored with the hash, so that raising `iterations` later keeps old hashes valid.
QString hashPassword(const QString &password, int rounds = iterations);
// Whether `password` matches `stored` (as made by hashPassword), compared in constant time.
// A malformed `stored` never matches. Setting `cancelled` from another thread stops the check
// within a few milliseconds; it does not match then.
bool verifyPassword(
    const QString &password, const QString &stored, const std::atomic_bool *cancelled = nullptr);

// `byteCount` bytes from the system's secure generator, hex-encoded.
QString randomHex(int byteCount);
// The session token of "login_success": 32 random bytes, hex-encoded.
QString newToken();
// How a token is stored: its SHA-256, hex-encoded. Tokens are long and random, so a plain hash
// is as good as a slow one and keeps a token login cheap.
QString tokenHash(const QString &token);

} // namespace credentials
