#include "testcertificate.h"

#include <QProcess>
#include <QStandardPaths>

bool canMakeTestCertificate()
{
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

bool makeTestCertificate(const QString &keyPath, const QString &certificatePath, int days,
                         QString *error)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", QString::number(days),
                   "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                   "-keyout", keyPath, "-out", certificatePath});
    const bool made = openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0;
    if (!made && error)
        *error = QString::fromLocal8Bit(openssl.readAll());
    return made;
}
