#pragma once

#include "doorentry.h"
#include "httpserversetup.h"
#include "statusfacts.h"

#include <QHostAddress>
#include <QObject>

#include <functional>

class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// The status port, the service's own web port: /metrics for Prometheus, /status.json and the
// dashboard page / that reads it, the camera wall /cameras, and /doors.json, the newest entries
// of the door journal. Every request takes a fresh reading from the source, so the figures are
// those of the moment; nothing is sampled in between. Its requests pass the same gate as the
// other ports and only read, so the viewer role is enough.
class StatusServer : public QObject
{
    Q_OBJECT

public:
    using Source = std::function<StatusFacts()>;
    // The newest `limit` door commands of IO `io` (-1: all); false when there is no such IO.
    using DoorSource = std::function<bool(int io, int limit, QList<DoorEntry> *entries)>;

    explicit StatusServer(const Source &source, QObject *parent = nullptr);
    ~StatusServer() override;

    // TLS, gate and counters apply from the next start(); the address is start()'s own.
    void setServerSetup(const HttpServerSetup &setup) { m_setup = setup; }
    void setDoorSource(const DoorSource &source) { m_doorSource = source; }

    void start(const QHostAddress &address, quint16 port);
    void stop();

    QtHttpServer *server() const { return m_server; }
    quint16 port() const;

    static QByteArray dashboardPage();
    // A file of the camera wall by its path on this port ("/cameras" is the page); empty when
    // there is no such file.
    static QByteArray wallFile(const QString &path, QByteArray *contentType = nullptr);

signals:
    void started(quint16 port);
    void error(const QString &msg);

private:
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);

    void serveDoors(const QUrl &url, QtHttpReply *reply);

    Source m_source;
    DoorSource m_doorSource;
    QtHttpServer *m_server;
    HttpServerSetup m_setup;
};
