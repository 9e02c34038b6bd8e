#include "httprequestparser.h"

#include <QStringList>

namespace {

QByteArray withoutTerminator(const QByteArray &line)
{
    int end = line.size();
    if (end > 0 && line.at(end - 1) == '\n')
        --end;
    if (end > 0 && line.at(end - 1) == '\r')
        --end;
    return line.left(end);
}

bool asksToClose(const HttpRequestParser::Request &request)
{
    return request.header(QByteArrayLiteral("Connection")).toLower() == "close";
}

// Digits only, as a length too large for any integer type would be written.
bool isUnsignedNumber(const QByteArray &value)
{
    const QByteArray digits = value.startsWith('+') ? value.mid(1) : value;
    if (digits.isEmpty())
        return false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

QByteArray HttpRequestParser::Request::header(const QByteArray &name) const
{
    for (int i = headers.size() - 1; i >= 0; --i) {
        if (headers.at(i).first == name)
            return headers.at(i).second;
    }
    return QByteArray();
}

bool HttpRequestParser::Request::operator==(const Request &other) const
{
    return method == other.method && target == other.target && headers == other.headers
        && body == other.body;
}

HttpRequestParser::HttpRequestParser(const Limits &limits)
    : m_limits(limits)
{ }

void HttpRequestParser::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
}

bool HttpRequestParser::hasPartialRequest() const
{
    return m_state != WaitRequestLine || bufferedBytes() > 0;
}

HttpRequestParser::Request HttpRequestParser::takeRequest()
{
    Request request = std::move(m_current);
    m_current = Request();
    m_state = WaitRequestLine;
    return request;
}

HttpRequestParser::Result HttpRequestParser::next()
{
    m_errorLine.clear();
    forever {
        switch (m_state) {
        case RequestComplete:
            return Result::Request;
        case WaitRequestLine:
        case WaitHeaders: {
            QByteArray line;
            if (!takeLine(&line)) {
                // The line is still incomplete; refuse it as soon as it is certain to be too long
                // rather than hold an ever growing buffer.
                const qint64 pending = bufferedBytes();
                if (m_state == WaitRequestLine && pending - 1 > m_limits.maxRequestLine)
                    return fail(414, true);
                if (m_state == WaitHeaders && m_headerBytes + pending > m_limits.maxHeaderBlock)
                    return fail(431, true);
                compact();
                return Result::NeedMore;
            }
            const Result result
                = m_state == WaitRequestLine ? parseRequestLine(line) : parseHeaderLine(line);
            if (result != Result::NeedMore)
                return result;
            break;
        }
        case WaitBody: {
            const qint64 missing = m_contentLength - m_current.body.size();
            const int count = int(qMin<qint64>(missing, bufferedBytes()));
            m_current.body.append(m_buffer.constData() + m_pos, count);
            m_pos += count;
            if (m_current.body.size() == m_contentLength) {
                m_state = RequestComplete;
                return Result::Request;
            }
            compact();
            return Result::NeedMore;
        }
        case ParseError:
            m_state = WaitRequestLine;
            break;
        }
    }
}

bool HttpRequestParser::takeLine(QByteArray *line)
{
    const int end = m_buffer.indexOf('\n', qMax(m_pos, m_searchFrom));
    if (end < 0) {
        m_searchFrom = m_buffer.size();
        return false;
    }
    *line = m_buffer.mid(m_pos, end + 1 - m_pos);
    m_pos = end + 1;
    if (m_pos > 64 * 1024 && m_pos > m_buffer.size() / 2)
        compact();
    return true;
}

void HttpRequestParser::compact()
{
    if (m_pos == 0)
        return;
    m_buffer.remove(0, m_pos);
    m_searchFrom = qMax(0, m_searchFrom - m_pos);
    m_pos = 0;
}

HttpRequestParser::Result HttpRequestParser::fail(int status, bool closes)
{
    m_errorStatus = status;
    m_errorCloses = closes;
    // What follows a malformed request cannot be trusted to start at a request boundary.
    m_buffer.clear();
    m_pos = 0;
    m_searchFrom = 0;
    m_current = Request();
    m_state = WaitRequestLine;
    return Result::Error;
}

HttpRequestParser::Result HttpRequestParser::parseRequestLine(const QByteArray &line)
{
    if (withoutTerminator(line).size() > m_limits.maxRequestLine)
        return fail(414, true);

    // Decoding stops at the first NUL byte, as the line is read as a C string.
    const QString text = QString::fromUtf8(line.constData()).trimmed();
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 3 || parts.at(2) != QLatin1String("HTTP/1.1"))
        return fail(400, false);

    m_current = Request();
    m_current.method = parts.at(0);
    m_current.target = parts.at(1);
    m_headerBytes = 0;
    m_headerLines = 0;
    m_state = WaitHeaders;
    return Result::NeedMore;
}

HttpRequestParser::Result HttpRequestParser::parseHeaderLine(const QByteArray &line)
{
    // The empty line that ends the block counts too, so that a block refused while its last line
    // is still arriving is also refused when it arrives whole.
    m_headerBytes += line.size();
    if (m_headerBytes > m_limits.maxHeaderBlock)
        return fail(431, true);
    if (line.trimmed().isEmpty())
        return headersComplete();
    if (++m_headerLines > m_limits.maxHeaderLines)
        return fail(431, true);

    const int colon = line.indexOf(':');
    if (colon <= 0) {
        const bool closes = asksToClose(m_current);
        const Result result = fail(400, closes);
        m_errorLine = line;
        return result;
    }

    const QByteArray name = line.left(colon).trimmed();
    QByteArray value = line.mid(colon + 1).trimmed();
    if (name.isEmpty())
        return Result::NeedMore;
    if (name == "Content-Length") {
        bool ok = false;
        const qlonglong length = value.toLongLong(&ok);
        if (ok)
            value = QByteArray::number(length);
    }
    m_current.headers.append(qMakePair(name, value));
    return Result::NeedMore;
}

HttpRequestParser::Result HttpRequestParser::headersComplete()
{
    const QByteArray text = m_current.header(QByteArrayLiteral("Content-Length"));
    bool ok = false;
    qint64 length = text.toLongLong(&ok);
    if (!ok) {
        // A length beyond any integer is still a length, not "no body".
        if (isUnsignedNumber(text))
            return fail(413, true);
        length = 0;
    }
    if (length > m_limits.maxBody)
        return fail(413, true);
    if (length >= 1) {
        m_contentLength = length;
        m_state = WaitBody;
        return Result::NeedMore;
    }
    m_state = RequestComplete;
    return Result::Request;
}
