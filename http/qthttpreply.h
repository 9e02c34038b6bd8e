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
// In deferred mode the answer comes later: the handler calls setDeferred(true), keeps the reply in
// a QPointer and returns; once it knows the answer it sets the status and body and calls finish().
// Until then the connection reads no further request (answers keep request order) and applies
// no request time-out. If the connection goes first, the reply is deleted with its request and
// the handler's QPointer reads null.
//
// Other replies live only while their request is being answered; handlers must not keep them.
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
        GatewayTimeout = 504,
    };
    Q_ENUM(StatusCode)

    explicit QtHttpReply(QtHttpServer *parent);

    int statusCode() const { return m_statusCode; }
    bool useChunked() const { return m_useChunked; }
    bool useBoundary() const { return m_useBoundary; }
    bool isDeferred() const { return m_deferred; }
    bool isFinished() const { return m_finished; }
    // The body goes out exactly as appended, without the "\r\n" the server may add to text
    // answers (a picture must be exactly its bytes).
    bool isExactBody() const { return m_exactBody; }
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
    // A deferred reply is complete; emitted once.
    void finished();

public slots:
    // Note the default: calling it without an argument turns chunked mode off.
    void setUseChunked(bool chunked = false);
    void setStatusCode(QtHttpReply::StatusCode statusCode);
    void appendRawData(const QByteArray &data);
    void addHeader(const QByteArray &header, const QByteArray &value);
    void resetRawData();
    void setUseBoundary(bool boundary = false);
    void setDeferred(bool deferred);
    void setExactBody(bool exact) { m_exactBody = exact; }
    void finish();

private:
    bool m_useChunked = false;
    int m_statusCode = Ok;
    QByteArray m_rawData;
    QtHttpServer *m_server;
    QHash<QByteArray, QByteArray> m_headers;
    bool m_useBoundary = false;
    bool m_deferred = false;
    bool m_finished = false;
    bool m_exactBody = false;
};
