#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

class QtHttpServer;

// The answer a request handler fills. By default the connection handler writes it once the
// handler returns. In chunked mode the handler itself emits requestSendHeaders() once and then
// requestSendData() for each chunk (the body appended since the previous emission). In boundary
// mode nothing is written for it: the handler has taken the connection over and writes to it
// through QtHttpClientWrapper::writeRaw().
//
// A reply lives only while its request is being answered; handlers must not keep the pointer.
class QtHttpReply : public QObject
{
    Q_OBJECT

public:
    enum StatusCode {
        Ok = 200,
        SeeOther = 303,
        BadRequest = 400,
        Unauthorized = 401,
        Forbidden = 403,
        NotFound = 404,
        MethodNotAllowed = 405,
        // Used by the server's own protective answers.
        RequestTimeout = 408,
        PayloadTooLarge = 413,
        UriTooLong = 414,
        TooManyRequests = 429,
        RequestHeaderFieldsTooLarge = 431,
        InternalError = 500,
        NotImplemented = 501,
        BadGateway = 502,
        ServiceUnavailable = 503,
    };
    Q_ENUM(StatusCode)

    explicit QtHttpReply(QtHttpServer *parent);

    int statusCode() const { return m_statusCode; }
    bool useChunked() const { return m_useChunked; }
    bool useBoundary() const { return m_useBoundary; }
    QByteArray rawData() const { return m_rawData; }
    int rawDataSize() const { return m_rawData.size(); }
    QByteArray header(const QByteArray &name) const { return m_headers.value(name); }
    QList<QByteArray> headerNames() const { return m_headers.keys(); }

    // Text written after the code in the status line; empty for codes without one.
    static QByteArray statusText(int code);
    // The body of the server's own protective answers (400, 408, 413, 414, 431).
    static QByteArray errorPage(int status);

signals:
    void requestSendHeaders();
    void requestSendData();

public slots:
    // Note the default: calling it without an argument turns chunked mode off.
    void setUseChunked(bool chunked = false);
    void setStatusCode(QtHttpReply::StatusCode statusCode);
    void appendRawData(const QByteArray &data);
    void addHeader(const QByteArray &header, const QByteArray &value);
    void resetRawData();
    void setUseBoundary(bool boundary = false);

private:
    bool m_useChunked = false;
    int m_statusCode = Ok;
    QByteArray m_rawData;
    QtHttpServer *m_server;
    QHash<QByteArray, QByteArray> m_headers;
    bool m_useBoundary = false;
};
