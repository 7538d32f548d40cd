#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>

// Password hashing and the random secrets the server hands out.
namespace credentials
{

// The cost of an Argon2id hash. OWASP's minimum (19 MiB, 2 passes, one lane, which is all
// libsodium computes): about 40 ms of one core here, so that a 2-core server still checks some
// 50 logins a second, while a guess at a stolen hash costs 19 MiB of memory, which is what makes
// guessing on graphics cards expensive.
struct Limits {
    unsigned long long opsLimit = 2;
    size_t memLimit = 19 * 1024 * 1024;
};
constexpr Limits defaultLimits;
// The cheapest hash libsodium makes; for tests, which hash and check passwords by the hundred.
constexpr Limits cheapestLimits { 1, 8192 };

// A stored password: libsodium's "$argon2id$v=19$m=...,t=...,p=1$SALT$HASH" with a fresh salt.
QString hashPassword(const QString &password, const Limits &limits = defaultLimits);
// PBKDF2-HMAC-SHA256 as stored before Argon2id ("pbkdf2-sha256$ROUNDS$SALT_HEX$HASH_HEX"), for
// tests and benchmarks of the hashes that older servers left behind.
QString hashPasswordPbkdf2(const QString &password, int rounds = 100000);
// Whether `password` matches `stored` (either kind), in constant time. A password with a NUL in
// it never matches; nor does a malformed `stored`, or
// one that would take more time or memory than any hash this server makes, never matches.
// Setting `cancelled` from another thread stops a PBKDF2 check within a few milliseconds (an
// Argon2id check takes that long anyway); it does not match then.
bool verifyPassword(
    const QString &password, const QString &stored, const std::atomic_bool *cancelled = nullptr);
// Whether `stored` (which matched) should be replaced by a hash made with `limits` now: every
// PBKDF2 hash, and Argon2id hashes made with other limits.
bool needsRehash(const QString &stored, const Limits &limits = defaultLimits);

// `byteCount` bytes from the system's secure generator, hex-encoded.
QString randomHex(int byteCount);
// The session token of "login_success": 32 random bytes, hex-encoded.
QString newToken();
// How a token is stored: its SHA-256, hex-encoded. Tokens are long and random, so a plain hash
// is as good as a slow one and keeps a token login cheap.
QString tokenHash(const QString &token);

} // namespace credentials
