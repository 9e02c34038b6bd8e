#include "passwordhash.h"

#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QStringList>

namespace PasswordHash {

namespace {

const QLatin1String Scheme("pbkdf2-sha256");

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, HashSize);
}

bool decodeBase64(const QString &text, QByteArray *bytes)
{
    const QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(
        text.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    *bytes = result.decoded;
    return true;
}

} // namespace

QString make(const QString &password, int iterations)
{
    QByteArray salt(SaltSize, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(salt.data()),
                                          SaltSize / int(sizeof(quint32)));
    return QStringLiteral("%1$%2$%3$%4")
        .arg(Scheme, QString::number(iterations), QString::fromLatin1(salt.toBase64()),
             QString::fromLatin1(derive(password, salt, iterations).toBase64()));
}

Parsed parse(const QString &stored)
{
    Parsed result;
    const QStringList fields = stored.split(QLatin1Char('$'));
    if (fields.size() != 4 || fields.at(0) != Scheme)
        return result;
    bool ok = false;
    const int iterations = fields.at(1).toInt(&ok, 10);
    if (!ok || iterations < MinIterations || iterations > MaxIterations)
        return result;
    QByteArray salt;
    QByteArray hash;
    if (!decodeBase64(fields.at(2), &salt) || salt.isEmpty() || !decodeBase64(fields.at(3), &hash)
        || hash.size() != HashSize)
        return result;
    result.valid = true;
    result.iterations = iterations;
    result.salt = salt;
    result.hash = hash;
    return result;
}

bool verify(const QString &password, const Parsed &stored)
{
    if (!stored.valid)
        return false;
    return equalConstantTime(derive(password, stored.salt, stored.iterations), stored.hash);
}

bool equalConstantTime(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

} // namespace PasswordHash
