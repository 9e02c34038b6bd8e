#pragma once

#include "httpgate.h"
#include "qthttpserver.h"

#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>

// How the service's HTTP servers are exposed: where they listen, TLS, and the gate every request
// passes. One value is handed to every component that opens ports, so all ports follow it.
struct HttpServerSetup
{
    QHostAddress listenAddress = QHostAddress(QHostAddress::Any);
    bool secure = false;
    QSslKey key;
    QList<QSslCertificate> certificates;
    HttpGate *gate = nullptr;
    // False when the ports must not be opened at all (TLS was asked for and cannot be had).
    bool serve = true;
    // Where every port counts its connections and answers; not owned.
    HttpCounterTable *counters = nullptr;
    // Added to the answers of the camera relay ports only (the cross-origin grant for the
    // service's own camera wall); the other ports do not apply it.
    QtHttpServer::AnswerHeaders relayAnswerHeaders;

    void applyTo(QtHttpServer *server, const QtHttpServer::OperateTest &operate = {}) const
    {
        server->setListenAddress(listenAddress);
        if (secure) {
            server->setUseSecure(true);
            server->setPrivateKey(key);
            server->setCertificates(certificates);
        }
        server->setGate(gate, operate);
        server->setCounterTable(counters);
    }
};
