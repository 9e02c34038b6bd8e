#include "digestauth.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// RFC 7230 tchar.
bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

// RFC 7235 token68, without its trailing "=" padding.
bool isToken68Char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_bytes(bytes)
    { }

    bool atEnd() const { return m_at >= m_bytes.size(); }
    char peek() const { return atEnd() ? '\0' : m_bytes.at(m_at); }
    int position() const { return m_at; }
    void seek(int at) { m_at = at; }
    void skipSpaces()
    {
        while (!atEnd() && isSpace(peek()))
            ++m_at;
    }
    void skipSpacesAndCommas()
    {
        while (!atEnd() && (isSpace(peek()) || peek() == ','))
            ++m_at;
    }
    QByteArray token()
    {
        const int from = m_at;
        while (!atEnd() && isTokenChar(peek()))
            ++m_at;
        return m_bytes.mid(from, m_at - from);
    }
    // A token68 standing alone up to the next comma or the end; false (nothing read) otherwise.
    bool token68()
    {
        const int from = m_at;
        while (!atEnd() && isToken68Char(peek()))
            ++m_at;
        if (m_at == from) {
            m_at = from;
            return false;
        }
        while (!atEnd() && peek() == '=')
            ++m_at;
        skipSpaces();
        if (atEnd() || peek() == ',')
            return true;
        m_at = from;
        return false;
    }
    // A quoted-string after its opening quote; false when it never closes.
    bool quoted(QByteArray *value)
    {
        ++m_at;
        while (!atEnd()) {
            char c = m_bytes.at(m_at++);
            if (c == '"')
                return true;
            if (c == '\\') {
                if (atEnd())
                    return false;
                c = m_bytes.at(m_at++);
            }
            value->append(c);
        }
        return false;
    }
    // Devices send unquoted values that are not strictly tokens (a Base64 nonce): anything up
    // to the next comma or space is taken.
    QByteArray bareValue()
    {
        const int from = m_at;
        while (!atEnd() && peek() != ',' && !isSpace(peek()) && peek() != '"')
            ++m_at;
        return m_bytes.mid(from, m_at - from);
    }

private:
    const QByteArray &m_bytes;
    int m_at = 0;
};

QCryptographicHash::Algorithm hashOf(DigestAuth::Algorithm algorithm)
{
    return algorithm == DigestAuth::Algorithm::Sha256
            || algorithm == DigestAuth::Algorithm::Sha256Sess
        ? QCryptographicHash::Sha256
        : QCryptographicHash::Md5;
}

bool isSession(DigestAuth::Algorithm algorithm)
{
    return algorithm == DigestAuth::Algorithm::Md5Sess
        || algorithm == DigestAuth::Algorithm::Sha256Sess;
}

bool isStrong(DigestAuth::Algorithm algorithm)
{
    return hashOf(algorithm) == QCryptographicHash::Sha256;
}

QByteArray hexHash(QCryptographicHash::Algorithm hash, const QByteArray &text)
{
    return QCryptographicHash::hash(text, hash).toHex();
}

QByteArray quoted(const QByteArray &value)
{
    QByteArray out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray nonceCountText(quint32 nc)
{
    return QByteArray::number(nc, 16).rightJustified(8, '0');
}

DigestAuth::Challenge challengeOf(const DigestAuth::Scheme &scheme)
{
    DigestAuth::Challenge challenge;
    bool hasRealm = false;
    bool hasNonce = false;
    bool hasAlgorithm = false;
    bool hasQop = false;
    bool hasStale = false;
    QByteArray qop;
    // The first of a repeated parameter counts.
    for (const DigestAuth::Param &param : scheme.params) {
        if (param.first == "realm" && !hasRealm) {
            hasRealm = true;
            challenge.realm = param.second;
        } else if (param.first == "nonce" && !hasNonce) {
            hasNonce = true;
            challenge.nonce = param.second;
        } else if (param.first == "opaque" && !challenge.hasOpaque) {
            challenge.hasOpaque = true;
            challenge.opaque = param.second;
        } else if (param.first == "algorithm" && !hasAlgorithm) {
            hasAlgorithm = true;
            challenge.algorithmName = param.second;
        } else if (param.first == "qop" && !hasQop) {
            hasQop = true;
            qop = param.second;
        } else if (param.first == "stale" && !hasStale) {
            hasStale = true;
            challenge.stale = param.second.toLower() == "true";
        }
    }
    const QByteArray algorithm = challenge.algorithmName.toLower();
    if (!hasAlgorithm || algorithm == "md5")
        challenge.algorithm = DigestAuth::Algorithm::Md5;
    else if (algorithm == "md5-sess")
        challenge.algorithm = DigestAuth::Algorithm::Md5Sess;
    else if (algorithm == "sha-256")
        challenge.algorithm = DigestAuth::Algorithm::Sha256;
    else if (algorithm == "sha-256-sess")
        challenge.algorithm = DigestAuth::Algorithm::Sha256Sess;
    else
        return DigestAuth::Challenge();
    if (hasQop) {
        const QList<QByteArray> offered = qop.split(',');
        for (const QByteArray &option : offered)
            challenge.qopAuth = challenge.qopAuth || option.trimmed().toLower() == "auth";
        // Only "auth-int" (or nothing known) offered: its body hash is not done here.
        if (!challenge.qopAuth)
            return DigestAuth::Challenge();
    }
    // The session variants hash the client nonce, which only travels with a qop.
    if (isSession(challenge.algorithm) && !challenge.qopAuth)
        return DigestAuth::Challenge();
    // These go back in our own header: a line break there would let the device add headers.
    for (const QByteArray *echoed : {&challenge.realm, &challenge.nonce, &challenge.opaque}) {
        for (const char c : *echoed) {
            if ((c >= 0 && c < 0x20) || c == 0x7f)
                return DigestAuth::Challenge();
        }
    }
    challenge.valid = hasRealm && !challenge.nonce.isEmpty();
    return challenge.valid ? challenge : DigestAuth::Challenge();
}

} // namespace

QList<DigestAuth::Scheme> DigestAuth::parseSchemes(const QByteArray &value)
{
    QList<Scheme> schemes;
    if (value.size() > MaxHeaderSize)
        return schemes;
    Reader in(value);
    for (;;) {
        in.skipSpacesAndCommas();
        if (in.atEnd())
            return schemes;
        Scheme scheme;
        scheme.name = in.token().toLower();
        if (scheme.name.isEmpty() || (!in.atEnd() && !isSpace(in.peek()) && in.peek() != ','))
            return schemes;
        in.skipSpaces();
        if (in.token68()) {
            schemes.append(scheme);
            continue;
        }
        // Parameters until one that is not "name=" (the next challenge's scheme) or the end.
        for (;;) {
            const int before = in.position();
            in.skipSpacesAndCommas();
            const QByteArray name = in.token().toLower();
            in.skipSpaces();
            if (name.isEmpty() || in.peek() != '=') {
                in.seek(before);
                break;
            }
            in.seek(in.position() + 1);
            in.skipSpaces();
            QByteArray paramValue;
            if (in.peek() == '"') {
                if (!in.quoted(&paramValue))
                    return schemes;
            } else {
                paramValue = in.bareValue();
                if (paramValue.isEmpty())
                    return schemes;
            }
            scheme.params.append(Param(name, paramValue));
            in.skipSpaces();
            if (!in.atEnd() && in.peek() != ',')
                return schemes;
        }
        in.skipSpacesAndCommas();
        // Neither a parameter nor a scheme can start here.
        if (!in.atEnd() && !isTokenChar(in.peek()))
            return schemes;
        schemes.append(scheme);
    }
}

DigestAuth::Challenge DigestAuth::parseChallenge(const QByteArray &value)
{
    Challenge best;
    const QList<Scheme> schemes = parseSchemes(value);
    for (const Scheme &scheme : schemes) {
        if (scheme.name != "digest")
            continue;
        const Challenge candidate = challengeOf(scheme);
        if (candidate.valid
            && (!best.valid || (isStrong(candidate.algorithm) && !isStrong(best.algorithm))))
            best = candidate;
    }
    return best;
}

QByteArray DigestAuth::response(const Challenge &challenge, const QByteArray &user,
                                const QByteArray &password, const QByteArray &method,
                                const QByteArray &uri, quint32 nc, const QByteArray &cnonce)
{
    const QCryptographicHash::Algorithm hash = hashOf(challenge.algorithm);
    QByteArray ha1 = hexHash(hash, user + ':' + challenge.realm + ':' + password);
    if (isSession(challenge.algorithm))
        ha1 = hexHash(hash, ha1 + ':' + challenge.nonce + ':' + cnonce);
    const QByteArray ha2 = hexHash(hash, method + ':' + uri);
    if (!challenge.qopAuth)
        return hexHash(hash, ha1 + ':' + challenge.nonce + ':' + ha2);
    return hexHash(hash,
                   ha1 + ':' + challenge.nonce + ':' + nonceCountText(nc) + ':' + cnonce
                       + ":auth:" + ha2);
}

QByteArray DigestAuth::authorization(const Challenge &challenge, const QByteArray &user,
                                     const QByteArray &password, const QByteArray &method,
                                     const QByteArray &uri, quint32 nc, const QByteArray &cnonce)
{
    QByteArray value = "Digest username=" + quoted(user) + ", realm=" + quoted(challenge.realm)
        + ", nonce=" + quoted(challenge.nonce) + ", uri=" + quoted(uri);
    if (!challenge.algorithmName.isEmpty())
        value += ", algorithm=" + challenge.algorithmName;
    value += ", response=\"" + response(challenge, user, password, method, uri, nc, cnonce) + '"';
    if (challenge.hasOpaque)
        value += ", opaque=" + quoted(challenge.opaque);
    if (challenge.qopAuth)
        value += ", qop=auth, nc=" + nonceCountText(nc) + ", cnonce=" + quoted(cnonce);
    return value;
}

void DigestAuth::setChallenge(const Challenge &challenge)
{
    if (challenge.nonce != m_challenge.nonce)
        m_nonceCount = 0;
    m_challenge = challenge;
}

void DigestAuth::reset()
{
    m_challenge = Challenge();
    m_nonceCount = 0;
}

QByteArray DigestAuth::nextAuthorization(const QByteArray &user, const QByteArray &password,
                                         const QByteArray &method, const QByteArray &uri)
{
    ++m_nonceCount;
    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    const QByteArray cnonce
        = QByteArray(reinterpret_cast<const char *>(random), int(sizeof random)).toHex();
    return authorization(m_challenge, user, password, method, uri, m_nonceCount, cnonce);
}
