#include "statusserver.h"

#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"
#include "statusreport.h"

#include <QFile>
#include <QUrlQuery>

// Q_INIT_RESOURCE must be used outside any namespace; the resources live in a static library.
static void initStatusResources()
{
    Q_INIT_RESOURCE(resources);
}

StatusServer::StatusServer(const Source &source, QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_server(new QtHttpServer(this))
{
    initStatusResources();
    m_server->setServerName(QStringLiteral("StatusServer"));
    // Scrapers parse the metrics text to its last byte; a trailing "\r\n" breaks Prometheus.
    m_server->setAppendsBodyCrlf(false);
    connect(m_server, &QtHttpServer::started, this, &StatusServer::started);
    connect(m_server, &QtHttpServer::error, this, &StatusServer::error);
    connect(m_server, &QtHttpServer::requestNeedsReply, this, &StatusServer::onRequestNeedsReply);
}

StatusServer::~StatusServer() = default;

quint16 StatusServer::port() const
{
    return m_server->serverPort();
}

QByteArray StatusServer::dashboardPage()
{
    QFile file(QStringLiteral(":/status/dashboard.html"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray StatusServer::wallFile(const QString &path, QByteArray *contentType)
{
    // The wall is a page and the few files it loads, all compiled in: a path names one of them
    // exactly, never a place in the file system.
    static const struct
    {
        const char *path;
        const char *resource;
        const char *type;
    } files[] = {
        {"/cameras", ":/cameras/cameras.html", "text/html; charset=utf-8"},
        {"/cameras/", ":/cameras/cameras.html", "text/html; charset=utf-8"},
        {"/cameras/cameras.css", ":/cameras/cameras.css", "text/css; charset=utf-8"},
        {"/cameras/cameras.js", ":/cameras/cameras.js", "text/javascript; charset=utf-8"},
        {"/cameras/camera-tile.js", ":/cameras/camera-tile.js", "text/javascript; charset=utf-8"},
        {"/cameras/camera-logic.js", ":/cameras/camera-logic.js", "text/javascript; charset=utf-8"},
    };
    for (const auto &file : files) {
        if (path != QLatin1String(file.path))
            continue;
        QFile resource(QLatin1String(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            return QByteArray();
        if (contentType)
            *contentType = file.type;
        return resource.readAll();
    }
    return QByteArray();
}

void StatusServer::start(const QHostAddress &address, quint16 port)
{
    m_setup.applyTo(m_server);
    m_server->setListenAddress(address);
    if (m_setup.serve)
        m_server->start(port);
}

void StatusServer::stop()
{
    m_server->stop();
}

void StatusServer::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    // Reading only: anything but GET is refused before a reading is taken.
    if (request->command() != QLatin1String("GET")) {
        reply->setStatusCode(QtHttpReply::MethodNotAllowed);
        reply->addHeader("Allow", "GET");
        return;
    }
    const QString path = request->url().path(QUrl::FullyDecoded);
    reply->addHeader("Cache-Control", "no-store");
    if (path == QLatin1String("/metrics")) {
        reply->addHeader("Content-Type", StatusReport::MetricsContentType);
        reply->appendRawData(StatusReport::metrics(m_source()));
    } else if (path == QLatin1String("/status.json")) {
        reply->addHeader("Content-Type", "application/json");
        reply->appendRawData(StatusReport::json(m_source()));
    } else if (path == QLatin1String("/doors.json")) {
        serveDoors(request->url(), reply);
    } else if (path == QLatin1String("/")) {
        reply->addHeader("Content-Type", "text/html; charset=utf-8");
        reply->appendRawData(dashboardPage());
    } else if (path == QLatin1String("/cameras") || path.startsWith(QLatin1String("/cameras/"))) {
        QByteArray type;
        const QByteArray body = wallFile(path, &type);
        if (body.isEmpty()) {
            reply->setStatusCode(QtHttpReply::NotFound);
            reply->addHeader("Content-Type", "text/plain");
            reply->appendRawData("Not found\n");
            return;
        }
        reply->addHeader("Content-Type", type);
        reply->appendRawData(body);
    } else {
        reply->setStatusCode(QtHttpReply::NotFound);
        reply->addHeader("Content-Type", "text/plain");
        reply->appendRawData("Not found\n");
    }
}

void StatusServer::serveDoors(const QUrl &url, QtHttpReply *reply)
{
    StatusReport::DoorsQuery query;
    QString error;
    QList<DoorEntry> entries;
    if (StatusReport::parseDoorsQuery(QUrlQuery(url), &query, &error) && m_doorSource
        && !m_doorSource(query.io, query.limit, &entries))
        error = QStringLiteral("there is no IO %1").arg(query.io);
    if (!error.isEmpty()) {
        reply->setStatusCode(QtHttpReply::BadRequest);
        reply->addHeader("Content-Type", "text/plain; charset=utf-8");
        reply->appendRawData(error.toUtf8() + '\n');
        return;
    }
    reply->addHeader("Content-Type", "application/json");
    reply->appendRawData(StatusReport::doorsJson(entries));
}
