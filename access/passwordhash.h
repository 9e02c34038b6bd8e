#pragma once

#include <QByteArray>
#include <QString>

// Stored form of a password: "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>", made
// with PBKDF2-HMAC-SHA256 and a random salt per user. The clear password is never kept.
namespace PasswordHash {

constexpr int DefaultIterations = 100000;
constexpr int SaltSize = 16;
constexpr int HashSize = 32;
// Iteration counts a stored hash may carry. The upper bound keeps a hand-edited value from
// making every login take minutes.
constexpr int MinIterations = 1000;
constexpr int MaxIterations = 10000000;

struct Parsed
{
    bool valid = false;
    int iterations = 0;
    QByteArray salt;
    QByteArray hash;
};

QString make(const QString &password, int iterations = DefaultIterations);
Parsed parse(const QString &stored);
// Derives the key: as slow as the iteration count says, so keep it off the event loop.
bool verify(const QString &password, const Parsed &stored);

// Compares without stopping at the first difference, so timing tells nothing of where it was.
bool equalConstantTime(const QByteArray &a, const QByteArray &b);

} // namespace PasswordHash
