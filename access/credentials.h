#pragma once

#include <QByteArray>
#include <QString>

// The credentials a browser or a script sends: an Authorization header and the session cookie.
// Plain functions over the header bytes, so tests and fuzzers drive them without sockets.
namespace Credentials {

// Longest Authorization value looked at; anything longer is refused unread.
constexpr int MaxAuthorizationSize = 4096;

struct Basic
{
    bool valid = false;
    QString user;
    QString password;
};

// "Basic <base64 of user:password>", the scheme in any letter case. Refused (valid false): other
// schemes, a missing or malformed Base64 token, text that is not UTF-8, no colon, an empty name
// or password, control characters in the name, NUL bytes in the password, values over
// MaxAuthorizationSize.
Basic parseBasic(const QByteArray &authorization);

// The value of the cookie `name` in a Cookie header ("a=1; b=2"); empty when absent.
QByteArray cookie(const QByteArray &cookieHeader, const QByteArray &name);

} // namespace Credentials
