#include "qthttpreply.h"

#include "qthttpserver.h"

#include <QDateTime>
#include <QLocale>

QtHttpReply::QtHttpReply(QtHttpServer *parent)
    : QObject(parent)
    , m_server(parent)
{
    // The C locale keeps day and month names English whatever the machine's locale.
    const QString date = QLocale::c().toString(QDateTime::currentDateTimeUtc(),
                                               QStringLiteral("ddd, dd MMM yyyy hh:mm:ss t"));
    addHeader(QByteArrayLiteral("Date"), date.toUtf8());
    addHeader(QByteArrayLiteral("Server"),
              m_server ? m_server->serverName().toUtf8() : QByteArray());
}

QByteArray QtHttpReply::statusText(int code)
{
    switch (code) {
    case Ok:
        return QByteArrayLiteral("OK.");
    case BadRequest:
        return QByteArrayLiteral("Bad request !");
    case Forbidden:
        return QByteArrayLiteral("Forbidden !");
    case NotFound:
        return QByteArrayLiteral("Not found !");
    default:
        return QByteArray();
    }
}

QByteArray QtHttpReply::errorPage(int status)
{
    switch (status) {
    case QtHttpReply::RequestTimeout:
        return QByteArrayLiteral("<h1>Request Timeout !</h1>\r\n");
    case QtHttpReply::PayloadTooLarge:
        return QByteArrayLiteral("<h1>Payload Too Large !</h1>\r\n");
    case QtHttpReply::UriTooLong:
        return QByteArrayLiteral("<h1>URI Too Long !</h1>\r\n");
    case QtHttpReply::RequestHeaderFieldsTooLarge:
        return QByteArrayLiteral("<h1>Request Header Fields Too Large !</h1>\r\n");
    default:
        return QByteArrayLiteral("<h1>Bad Request (HTTP parsing error) !</h1>\r\n");
    }
}

void QtHttpReply::setUseChunked(bool chunked)
{
    m_useChunked = chunked;
}

void QtHttpReply::setStatusCode(QtHttpReply::StatusCode statusCode)
{
    m_statusCode = statusCode;
}

void QtHttpReply::appendRawData(const QByteArray &data)
{
    m_rawData.append(data);
}

void QtHttpReply::addHeader(const QByteArray &header, const QByteArray &value)
{
    const QByteArray name = header.trimmed();
    if (name.isEmpty())
        return;
    m_headers.insert(name, value);
}

void QtHttpReply::resetRawData()
{
    m_rawData.clear();
}

void QtHttpReply::setUseBoundary(bool boundary)
{
    m_useBoundary = boundary;
}

void QtHttpReply::setDeferred(bool deferred)
{
    m_deferred = deferred;
}

void QtHttpReply::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}
