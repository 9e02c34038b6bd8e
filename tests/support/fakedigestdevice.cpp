#include "fakedigestdevice.h"

#include "fakecamera.h"

#include <QCryptographicHash>
#include <QTcpSocket>

namespace {

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// The parameters of "Digest a=b, c="d"", unquoted.
QHash<QByteArray, QByteArray> digestParams(const QByteArray &authorization)
{
    QHash<QByteArray, QByteArray> params;
    if (!authorization.startsWith("Digest "))
        return params;
    const QByteArray text = authorization.mid(7);
    int at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text.at(at) == ' ' || text.at(at) == ','))
            ++at;
        const int equals = text.indexOf('=', at);
        if (equals < 0)
            break;
        const QByteArray name = text.mid(at, equals - at).trimmed().toLower();
        at = equals + 1;
        QByteArray value;
        if (at < text.size() && text.at(at) == '"') {
            for (++at; at < text.size() && text.at(at) != '"'; ++at) {
                if (text.at(at) == '\\')
                    ++at;
                if (at < text.size())
                    value += text.at(at);
            }
            ++at;
        } else {
            const int end = text.indexOf(',', at);
            value = text.mid(at, end < 0 ? -1 : end - at).trimmed();
            at = end < 0 ? text.size() : end;
        }
        params.insert(name, value);
    }
    return params;
}

} // namespace

FakeDigestDevice::FakeDigestDevice(const QString &user, const QString &password, QObject *parent)
    : FakeHttpDevice(parent)
    , m_user(user)
    , m_password(password)
{ }

FakeDigestDevice::~FakeDigestDevice() = default;

QString FakeDigestDevice::url(const QString &target) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(target);
}

int FakeDigestDevice::basicCount() const
{
    int count = 0;
    for (const RequestHead &request : m_requests)
        count += request.header("Authorization").startsWith("Basic ");
    return count;
}

void FakeDigestDevice::resetCounts()
{
    m_requests.clear();
    m_updates.clear();
    m_challenges = 0;
    m_stale = 0;
    m_pictures = 0;
    m_pages = 0;
}

QByteArray FakeDigestDevice::newNonce()
{
    // Base64 with "/" and "+", as devices send them.
    static int serial = 0;
    m_nonce
        = QCryptographicHash::hash(QByteArray::number(++serial) + m_realm, QCryptographicHash::Sha1)
              .toBase64();
    m_nonceCounts.insert(m_nonce, 0);
    m_nonceUses.insert(m_nonce, 0);
    return m_nonce;
}

QByteArray FakeDigestDevice::challenge(bool stale)
{
    ++m_challenges;
    m_stale += stale;
    newNonce();
    return "WWW-Authenticate: Digest realm=\"" + m_realm + "\", qop=\"auth,auth-int\", nonce=\""
        + m_nonce + "\", opaque=\"" + m_opaque + "\", algorithm=" + m_algorithm
        + (stale ? ", stale=TRUE" : "") + "\r\n";
}

FakeDigestDevice::Verdict FakeDigestDevice::check(const RequestHead &head)
{
    const QHash<QByteArray, QByteArray> p = digestParams(head.header("Authorization"));
    if (p.value("username") != m_user.toUtf8() || p.value("realm") != m_realm
        || p.value("uri") != head.target || p.value("qop") != "auth"
        || p.value("opaque") != m_opaque || p.value("cnonce").isEmpty()
        || p.value("algorithm", "MD5") != m_algorithm)
        return Verdict::Refused;
    const QByteArray nonce = p.value("nonce");
    bool ok = false;
    const quint32 nc = p.value("nc").toUInt(&ok, 16);
    if (!ok || p.value("nc").size() != 8 || !m_nonceCounts.contains(nonce))
        return Verdict::Refused;
    QByteArray ha1 = md5Hex(m_user.toUtf8() + ':' + m_realm + ':' + m_password.toUtf8());
    if (m_algorithm == "MD5-sess")
        ha1 = md5Hex(ha1 + ':' + nonce + ':' + p.value("cnonce"));
    const QByteArray ha2 = md5Hex(head.method + ':' + head.target);
    const QByteArray expected = md5Hex(ha1 + ':' + nonce + ':' + p.value("nc") + ':'
                                       + p.value("cnonce") + ":auth:" + ha2);
    // A replayed or reordered nonce count is refused like a wrong answer.
    if (p.value("response") != expected || nc <= m_nonceCounts.value(nonce))
        return Verdict::Refused;
    m_nonceCounts.insert(nonce, nc);
    // Every nonce handed out stays good for its uses: clients of one device (a board's reader
    // and its updater) each keep their own.
    if (m_nonceLifetime > 0 && m_nonceUses.value(nonce) >= m_nonceLifetime)
        return Verdict::Stale;
    ++m_nonceUses[nonce];
    return Verdict::Good;
}

void FakeDigestDevice::handleHead(QTcpSocket *socket, const RequestHead &head)
{
    m_requests.append(head);
    emit requestReceived();
    const Verdict verdict = check(head);
    if (verdict != Verdict::Good) {
        socket->write("HTTP/1.1 401 Unauthorized\r\n" + challenge(verdict == Verdict::Stale)
                      + "Content-Type: text/html\r\nContent-Length: 12\r\n\r\nunauthorized");
        return;
    }
    const int query = head.target.indexOf('?');
    const QByteArray path = query < 0 ? head.target : head.target.left(query);
    QByteArray body;
    QByteArray type = "text/html";
    if (path == "/alarm.htm") {
        if (query >= 0)
            m_updates.append(head.target.mid(query + 1));
        body = m_board.page();
        ++m_pages;
    } else {
        body = FakeCamera::makePicture(head.target, ++m_served[head.target]);
        type = "image/jpeg";
        ++m_pictures;
    }
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type
                  + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}
