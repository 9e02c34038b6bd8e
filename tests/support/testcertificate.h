#pragma once

#include <QString>

// A self-signed RSA certificate and its unencrypted key, made with the openssl command, for
// localhost and 127.0.0.1 (both in subjectAltName, so clients that check the name accept it) and
// valid for `days`. False, with openssl's output in `error`, when it could not be made.
bool makeTestCertificate(const QString &keyPath, const QString &certificatePath, int days = 2,
                         QString *error = nullptr);

// Whether the openssl command is there to make one.
bool canMakeTestCertificate();
