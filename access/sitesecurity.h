#pragma once

#include "httpserversetup.h"

#include <QString>
#include <QStringList>

// How the site's HTTP ports are exposed, from settings.ini: [Access] listenAddress and
// allowedHosts, [TLS] certificate and key. Nothing set means every address, plain HTTP.
struct SiteSecurity
{
    // False when something set cannot be used; `problem` says what, and the ports must then
    // stay closed rather than open less protected than asked.
    bool usable = true;
    QString problem;
    QStringList allowedHosts;
    QString certificatePath;
    // When the first certificate of the chain to expire does (ms since the epoch), -1 without
    // TLS: a chain certificate that lapses breaks the browsers as surely as the site's own.
    qint64 certificateExpiryMs = -1;
    HttpServerSetup setup;

    static SiteSecurity load(const QString &iniPath, const QString &appDir);

    // Checks that a certificate chain and key (PEM) can serve TLS: both readable and parsable,
    // and the key the certificate's own, proven by a handshake with ourselves on loopback.
    static bool loadTls(const QString &certificatePath, const QString &keyPath,
                        HttpServerSetup *setup, QString *problem);
};
