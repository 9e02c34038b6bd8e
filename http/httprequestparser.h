#pragma once

#include "httplimits.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The sizes a parser refuses; tests use smaller ones.
struct HttpParserLimits
{
    int maxRequestLine = HttpLimits::MaxRequestLine;
    int maxHeaderBlock = HttpLimits::MaxHeaderBlock;
    int maxHeaderLines = HttpLimits::MaxHeaderLines;
    qint64 maxBody = HttpLimits::MaxBody;
};

// Turns the bytes of one HTTP/1.1 connection into requests. Bytes go in through feed(); next()
// then yields complete requests one at a time, in arrival order, or an error with the status to
// answer. It knows nothing of sockets, so it can be tested and fuzzed on plain byte arrays.
//
// Lines are taken only once their line feed has arrived: a line split over several reads is
// parsed whole. A body is cut at exactly its Content-Length, and what follows it is the next
// request. After an error the buffered bytes are dropped and parsing starts again at a request
// line.
class HttpRequestParser
{
public:
    enum State {
        WaitRequestLine = 0,
        WaitHeaders = 1,
        WaitBody = 2,
        RequestComplete = 3,
        ParseError = -1,
    };

    enum class Result {
        NeedMore, // every complete request has been handed out; feed more bytes
        Request, // a request is ready: takeRequest()
        Error, // the input is refused: errorStatus() and friends
    };

    using Limits = HttpParserLimits;

    struct Request
    {
        QString method;
        QString target;
        // In arrival order, names and values trimmed; a numeric Content-Length is normalized to
        // its decimal text.
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        // Value of the last header named exactly `name`, empty when there is none.
        QByteArray header(const QByteArray &name) const;
        bool operator==(const Request &other) const;
    };

    explicit HttpRequestParser(const Limits &limits = Limits());

    void feed(const QByteArray &bytes);
    Result next();

    // Valid after next() returned Request.
    Request takeRequest();

    // Valid after next() returned Error.
    int errorStatus() const { return m_errorStatus; }
    // The offending header line when a header line had no name; empty otherwise.
    QByteArray errorLine() const { return m_errorLine; }
    // Whether the connection must be closed after the error answer: always for the size limits,
    // and for a malformed request when its headers so far asked for "Connection: close".
    bool errorClosesConnection() const { return m_errorCloses; }

    State state() const { return m_state; }
    // True while part of a request has been received but not yet handed out.
    bool hasPartialRequest() const;
    qint64 bufferedBytes() const { return m_buffer.size() - m_pos; }

private:
    bool takeLine(QByteArray *line);
    Result fail(int status, bool closes);
    Result parseRequestLine(const QByteArray &line);
    Result parseHeaderLine(const QByteArray &line);
    Result headersComplete();
    void compact();

    Limits m_limits;
    QByteArray m_buffer;
    int m_pos = 0;
    // Where the search for the end of the current line goes on: the bytes before it hold no
    // line feed. A line arriving a byte at a time is then scanned once, not once per byte.
    int m_searchFrom = 0;
    State m_state = WaitRequestLine;
    Request m_current;
    int m_headerBytes = 0;
    int m_headerLines = 0;
    qint64 m_contentLength = 0;

    int m_errorStatus = 0;
    QByteArray m_errorLine;
    bool m_errorCloses = false;
};
