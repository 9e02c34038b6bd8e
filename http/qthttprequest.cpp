#include "qthttprequest.h"

#include "httpconnection.h"
#include "qthttpserver.h"

QtHttpRequest::QtHttpRequest(HttpConnection *client, QtHttpServer *parent)
    : QObject(parent)
    , m_server(parent)
    , m_client(client)
{
    // A request that names neither is persistent and has no body.
    m_headers.insert(QByteArrayLiteral("Content-Length"), QByteArrayLiteral("0"));
    m_headers.insert(QByteArrayLiteral("Connection"), QByteArrayLiteral("Keep-Alive"));
}

void QtHttpRequest::setUrl(const QUrl &url)
{
    m_url = url;
}

void QtHttpRequest::setCommand(const QString &command)
{
    m_command = command;
}

void QtHttpRequest::addHeader(const QByteArray &header, const QByteArray &value)
{
    const QByteArray name = header.trimmed();
    if (name.isEmpty())
        return;
    m_headers.insert(name, value);
}

void QtHttpRequest::appendRawData(const QByteArray &data)
{
    m_rawData.append(data);
}
