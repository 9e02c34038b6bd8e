#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// HTTP Digest authentication towards a device (RFC 7616, and RFC 2617's form without qop that
// older DVRs still send): reads the challenges of a 401's WWW-Authenticate value and computes
// the Authorization that answers one. Plain bytes in and out, so tests and the fuzzer drive it
// without sockets; HTTPFetcher keeps one per device.
//
// Answered: the algorithms MD5, MD5-sess, SHA-256 and SHA-256-sess, with qop "auth" or no qop.
// A challenge asking only for "auth-int", or for an unknown algorithm, is not answerable.
class DigestAuth
{
public:
    enum class Algorithm { Md5, Md5Sess, Sha256, Sha256Sess };

    struct Challenge
    {
        // A Digest challenge this class can answer.
        bool valid = false;
        QByteArray realm;
        QByteArray nonce;
        QByteArray opaque;
        bool hasOpaque = false;
        Algorithm algorithm = Algorithm::Md5;
        // The algorithm as the device named it; echoed only when it named one.
        QByteArray algorithmName;
        // Whether the device offered qop "auth"; false: the RFC 2069 form, without nc and cnonce.
        bool qopAuth = false;
        // The nonce of the request was refused as expired, not the credentials.
        bool stale = false;
    };

    using Param = QPair<QByteArray, QByteArray>;
    struct Scheme
    {
        QByteArray name; // lower case
        QList<Param> params; // names in lower case, values unquoted
    };

    // Longest header value looked at; a device sending more is not answered.
    static constexpr int MaxHeaderSize = 16 * 1024;

    // Every challenge of a WWW-Authenticate value (several may share one value, separated by
    // commas, as the network stack also joins repeated headers). Stops at the first malformed
    // part, keeping the challenges before it.
    static QList<Scheme> parseSchemes(const QByteArray &value);
    // The Digest challenge to answer among those of `value`: the strongest answerable one
    // (SHA-256 before MD5); valid false when there is none.
    static Challenge parseChallenge(const QByteArray &value);

    // The hex digest of the "response" parameter. `nc` and `cnonce` are ignored without qop.
    static QByteArray response(const Challenge &challenge, const QByteArray &user,
                               const QByteArray &password, const QByteArray &method,
                               const QByteArray &uri, quint32 nc, const QByteArray &cnonce);
    // The whole Authorization value for one request.
    static QByteArray authorization(const Challenge &challenge, const QByteArray &user,
                                    const QByteArray &password, const QByteArray &method,
                                    const QByteArray &uri, quint32 nc, const QByteArray &cnonce);

    // --- One device's session --------------------------------------------------------------
    // Takes a new challenge. The nonce count starts again only for a new nonce.
    void setChallenge(const Challenge &challenge);
    // A device has asked for Digest: requests to it carry authorization() from now on.
    bool isActive() const { return m_challenge.valid; }
    const Challenge &challenge() const { return m_challenge; }
    quint32 nonceCount() const { return m_nonceCount; }
    void reset();
    // The Authorization for the next request: the next nonce count and a fresh client nonce.
    QByteArray nextAuthorization(const QByteArray &user, const QByteArray &password,
                                 const QByteArray &method, const QByteArray &uri);

private:
    Challenge m_challenge;
    quint32 m_nonceCount = 0;
};
