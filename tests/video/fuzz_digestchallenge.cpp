// Fuzz target for the WWW-Authenticate values devices answer 401 with: any bytes must parse
// without a crash or sanitizer report, and a challenge taken as answerable must give an
// Authorization that is one header line and that reads back with the device's realm, nonce and
// opaque unchanged (its quoting holds whatever they contain).
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "digestauth.h"

#include <QByteArray>
#include <QHash>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray value(reinterpret_cast<const char *>(data), int(size));
    DigestAuth::parseSchemes(value);
    const DigestAuth::Challenge challenge = DigestAuth::parseChallenge(value);
    if (!challenge.valid)
        return 0;
    DigestAuth session;
    session.setChallenge(challenge);
    const QByteArray authorization = session.nextAuthorization("user\"\\", "pw", "GET", "/a?b=c");
    for (const char c : authorization) {
        if (c == '\r' || c == '\n' || c == '\0') {
            fprintf(stderr, "control character in the Authorization value\n");
            abort();
        }
    }
    const QList<DigestAuth::Scheme> schemes = DigestAuth::parseSchemes(authorization);
    QHash<QByteArray, QByteArray> params;
    if (schemes.size() == 1) {
        for (const DigestAuth::Param &param : schemes.first().params)
            params.insert(param.first, param.second);
    }
    if (schemes.size() != 1 || params.value("realm") != challenge.realm
        || params.value("nonce") != challenge.nonce || params.value("opaque") != challenge.opaque
        || params.value("username") != "user\"\\" || params.value("uri") != "/a?b=c") {
        fprintf(stderr, "the Authorization does not read back\n");
        abort();
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(argc, argv, QByteArray("Digest realm=\"\\, nonce=qop=auth-sess"));
}
#endif
