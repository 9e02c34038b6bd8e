#include "credentials.h"

#include <QTextCodec>

namespace Credentials {

namespace {

bool isBase64Token(const QByteArray &token)
{
    if (token.isEmpty() || token.size() % 4 != 0)
        return false;
    int padding = 0;
    for (int i = 0; i < token.size(); ++i) {
        const char c = token.at(i);
        if (c == '=') {
            ++padding;
            continue;
        }
        // Nothing but padding may follow padding.
        if (padding > 0)
            return false;
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
            || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!alphabet)
            return false;
    }
    return padding <= 2;
}

bool decodeUtf8(const QByteArray &bytes, QString *text)
{
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace

Basic parseBasic(const QByteArray &authorization)
{
    Basic result;
    if (authorization.size() > MaxAuthorizationSize)
        return result;
    const QByteArray value = authorization.trimmed();
    const int space = value.indexOf(' ');
    if (space <= 0 || value.left(space).toLower() != "basic")
        return result;
    const QByteArray token = value.mid(space + 1).trimmed();
    if (!isBase64Token(token))
        return result;
    const QByteArray decoded = QByteArray::fromBase64(token);
    const int colon = decoded.indexOf(':');
    if (colon <= 0 || colon == decoded.size() - 1)
        return result;
    QString user;
    QString password;
    if (!decodeUtf8(decoded.left(colon), &user) || !decodeUtf8(decoded.mid(colon + 1), &password))
        return result;
    for (const QChar c : qAsConst(user)) {
        if (c.category() == QChar::Other_Control)
            return result;
    }
    // The key derivation pads a short password with NUL bytes, so "pw\0" would pass for "pw":
    // a password holding one is refused rather than compared.
    if (password.contains(QChar(0)))
        return result;
    result.valid = true;
    result.user = user;
    result.password = password;
    return result;
}

QByteArray cookie(const QByteArray &cookieHeader, const QByteArray &name)
{
    const QList<QByteArray> pairs = cookieHeader.split(';');
    for (const QByteArray &pair : pairs) {
        const int equals = pair.indexOf('=');
        if (equals < 0)
            continue;
        if (pair.left(equals).trimmed() == name)
            return pair.mid(equals + 1).trimmed();
    }
    return QByteArray();
}

} // namespace Credentials
