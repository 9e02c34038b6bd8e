#pragma once

#include "httpcounters.h"
#include "httpgate.h"
#include "httplimits.h"
#include "httprequestparser.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QSslKey>
#include <QSslSocket>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTcpSocket;
class QtHttpClientWrapper;
class QtHttpRequest;
class QtHttpReply;

// The listening socket: hands out plain or TLS sockets, children of itself.
class QtHttpServerWrapper : public QTcpServer
{
    Q_OBJECT

public:
    explicit QtHttpServerWrapper(QObject *parent);

    void setUseSecure(bool ssl);

protected:
    void incomingConnection(qintptr handle) override;

private:
    bool m_useSsl = false;
};

// A small HTTP/1.1 server on one port. Every complete request is reported through
// requestNeedsReply(request, reply), whose receivers fill `reply` before returning. Destroying the
// server closes the port and drops every connection.
class QtHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit QtHttpServer(QObject *parent = nullptr);
    ~QtHttpServer() override;

    const QString &serverName() const { return m_serverName; }
    quint16 serverPort() const;
    bool isListening() const;
    QString errorString() const;

    // Protective bounds; the defaults are those of HttpLimits. They apply to connections
    // accepted afterwards.
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    int requestTimeout() const { return m_requestTimeoutMs; }
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }
    int idleTimeout() const { return m_idleTimeoutMs; }
    void setMaxConnections(int count) { m_maxConnections = count; }
    int maxConnections() const { return m_maxConnections; }
    void setParserLimits(const HttpRequestParser::Limits &limits) { m_parserLimits = limits; }
    HttpRequestParser::Limits parserLimits() const { return m_parserLimits; }
    int connectionCount() const { return m_clients.size(); }

    // Where start() listens; every address (IPv4 and IPv6) unless set.
    void setListenAddress(const QHostAddress &address) { m_listenAddress = address; }
    QHostAddress listenAddress() const { return m_listenAddress; }

    // Whether "\r\n" follows every body sent whole (not chunked). On by default: the Central
    // server's pages read from the relay and event ports expect it. Off, a body goes out as the
    // handler made it, as a document that is parsed (the metrics text) must.
    void setAppendsBodyCrlf(bool on) { m_appendsBodyCrlf = on; }
    bool appendsBodyCrlf() const { return m_appendsBodyCrlf; }

    // Every complete request goes through the gate before any handler sees it. `operate` tells
    // the gate which requests change something (a door command); by default none does. The
    // gate is not owned and must outlive the server or be unset first.
    using OperateTest = std::function<bool(const QtHttpRequest &)>;
    void setGate(HttpGate *gate, const OperateTest &operate = {});
    HttpGate *gate() const { return m_gate; }
    bool isOperateRequest(const QtHttpRequest &request) const
    {
        return m_operate && m_operate(request);
    }

    // Headers added to every answer to a request on this port: a handler's, a taken-over
    // stream's head and the gate's refusals alike (a page of another origin that may read the
    // answers must be able to read a refusal too). Unset, the answers go out as made.
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    using AnswerHeaders = std::function<Headers(const QtHttpRequest &)>;
    void setAnswerHeaders(const AnswerHeaders &headers) { m_answerHeaders = headers; }
    Headers answerHeaders(const QtHttpRequest &request) const
    {
        return m_answerHeaders ? m_answerHeaders(request) : Headers();
    }

    // Where the port's connections and answers are counted, from the next start(); the table
    // is not owned and must outlive the server. Without one nothing is counted.
    void setCounterTable(HttpCounterTable *table) { m_counterTable = table; }
    const HttpPortCounters *counters() const { return m_counters; }
    // Called by the HTTP/2 connections as connections and streams open (+1) and close (-1).
    void countHttp2(int connections, int streams)
    {
        if (m_counters) {
            m_counters->http2Connections += connections;
            m_counters->http2Streams += streams;
        }
    }
    // Called by the connections for every answer they send.
    void countAnswer(int status)
    {
        if (m_counters)
            ++m_counters->requestsByCode[status];
    }

signals:
    void started(quint16 port);
    void stopped();
    void error(const QString &msg);
    void clientConnected(const QString &guid);
    void clientDisconnected(const QString &guid);
    void requestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);

public slots:
    void start(quint16 port = 0);
    void stop();
    void setServerName(const QString &serverName);
    void setUseSecure(bool ssl = true);
    void setPrivateKey(const QSslKey &key);
    void setCertificates(const QList<QSslCertificate> &certs);

private slots:
    void onClientConnected();
    void onClientDisconnected();
    void onClientSslEncrypted();
    void onClientSslPeerVerifyError(const QSslError &err);
    void onClientSslErrors(const QList<QSslError> &errors);
    void onClientSslModeChanged(QSslSocket::SslMode mode);
    void onGateRevoked(const QStringList &identities);

private:
    bool m_useSsl = false;
    QSslKey m_sslKey;
    QList<QSslCertificate> m_sslCertificates;
    QString m_serverName;
    QtHttpServerWrapper *m_listener;
    QHash<QTcpSocket *, QtHttpClientWrapper *> m_clients;

    int m_requestTimeoutMs = HttpLimits::RequestTimeoutMs;
    int m_idleTimeoutMs = HttpLimits::IdleTimeoutMs;
    int m_maxConnections = HttpLimits::MaxConnections;
    HttpRequestParser::Limits m_parserLimits;
    QHostAddress m_listenAddress = QHostAddress(QHostAddress::Any);
    bool m_appendsBodyCrlf = true;
    QPointer<HttpGate> m_gate;
    OperateTest m_operate;
    AnswerHeaders m_answerHeaders;
    HttpCounterTable *m_counterTable = nullptr;
    HttpPortCounters *m_counters = nullptr;
};
