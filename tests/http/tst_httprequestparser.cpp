#include "httprequestparser.h"

#include <QRandomGenerator>
#include <QtTest>

using Parser = HttpRequestParser;

namespace {

// What a parser yields for a byte stream fed in the given pieces, up to and including the first
// error (after an error the parser drops what it holds, which depends on how the bytes arrived).
QStringList outcomes(const QList<QByteArray> &pieces, const Parser::Limits &limits = {})
{
    Parser parser(limits);
    QStringList out;
    for (const QByteArray &piece : pieces) {
        parser.feed(piece);
        forever {
            const Parser::Result result = parser.next();
            if (result == Parser::Result::NeedMore)
                break;
            if (result == Parser::Result::Error) {
                out << QStringLiteral("error %1 %2")
                           .arg(parser.errorStatus())
                           .arg(parser.errorClosesConnection());
                return out;
            }
            const Parser::Request request = parser.takeRequest();
            QString text = request.method + QLatin1Char(' ') + request.target;
            for (const auto &header : request.headers)
                text += QStringLiteral(" [%1=%2]")
                            .arg(QString::fromLatin1(header.first),
                                 QString::fromLatin1(header.second));
            text += QStringLiteral(" body=") + QString::fromLatin1(request.body.toHex());
            out << text;
        }
    }
    out << QStringLiteral("pending state=%1 bytes=%2")
               .arg(parser.state())
               .arg(parser.bufferedBytes());
    return out;
}

QByteArray headerLines(int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += "X-H" + QByteArray::number(i) + ": v\r\n";
    return lines;
}

} // namespace

class HttpRequestParserTest : public QObject
{
    Q_OBJECT

private slots:
    void accepts_data();
    void accepts();
    void rejects_data();
    void rejects();
    void refusesOverlongLineBeforeItEnds_data();
    void refusesOverlongLineBeforeItEnds();
    void waitsForTheLineFeed();
    void cutsBodyAtContentLength();
    void recoversAfterError();
    void sameResultHoweverSplit_data();
    void sameResultHoweverSplit();
};

void HttpRequestParserTest::accepts_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("headerName");
    QTest::addColumn<QByteArray>("headerValue");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("plain GET") << QByteArray("GET /a/b?x=1 HTTP/1.1\r\nHost: h\r\n\r\n") << "GET"
                               << "/a/b?x=1" << QByteArray("Host") << QByteArray("h")
                               << QByteArray();
    QTest::newRow("any method, extra spaces")
        << QByteArray("  BREW   /pot   HTTP/1.1  \r\n\r\n") << "BREW"
        << "/pot" << QByteArray("Host") << QByteArray() << QByteArray();
    QTest::newRow("bare line feeds") << QByteArray("GET / HTTP/1.1\nA: b\n\n") << "GET"
                                     << "/" << QByteArray("A") << QByteArray("b") << QByteArray();
    QTest::newRow("name and value trimmed")
        << QByteArray("GET / HTTP/1.1\r\n  Host \t:   a b  \r\n\r\n") << "GET"
        << "/" << QByteArray("Host") << QByteArray("a b") << QByteArray();
    QTest::newRow("colon inside value")
        << QByteArray("GET / HTTP/1.1\r\nHost: a:8080\r\n\r\n") << "GET"
        << "/" << QByteArray("Host") << QByteArray("a:8080") << QByteArray();
    QTest::newRow("later header replaces")
        << QByteArray("GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\n\r\n") << "GET"
        << "/" << QByteArray("A") << QByteArray("2") << QByteArray();
    QTest::newRow("blank name ignored") << QByteArray("GET / HTTP/1.1\r\n  : x\r\n\r\n") << "GET"
                                        << "/" << QByteArray("") << QByteArray() << QByteArray();
    QTest::newRow("request line read up to NUL")
        << QByteArray("GET /n HTTP/1.1\0 junk\r\n\r\n", 25) << "GET"
        << "/n" << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("body with line breaks")
        << QByteArray("POST /p HTTP/1.1\r\nContent-Length: 7\r\n\r\na\r\nb\r\nc") << "POST"
        << "/p" << QByteArray("Content-Length") << QByteArray("7") << QByteArray("a\r\nb\r\nc");
    QTest::newRow("length normalized")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: +0003\r\n\r\nxyz") << "POST"
        << "/" << QByteArray("Content-Length") << QByteArray("3") << QByteArray("xyz");
    QTest::newRow("lower-case length is no length")
        << QByteArray("POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\n") << "POST"
        << "/" << QByteArray("content-length") << QByteArray("3") << QByteArray();
    QTest::newRow("length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3x\r\n\r\n") << "POST"
        << "/" << QByteArray("Content-Length") << QByteArray("3x") << QByteArray();
    QTest::newRow("negative length")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n") << "POST"
        << "/" << QByteArray("Content-Length") << QByteArray("-4") << QByteArray();
    const QByteArray longestTarget(HttpLimits::MaxRequestLine - int(strlen("GET  HTTP/1.1")), 'a');
    QTest::newRow("request line at its limit")
        << QByteArray("GET " + longestTarget + " HTTP/1.1\r\n\r\n") << "GET"
        << QString::fromLatin1(longestTarget) << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("header lines at their limit")
        << QByteArray("GET / HTTP/1.1\r\n" + headerLines(HttpLimits::MaxHeaderLines) + "\r\n")
        << "GET"
        << "/" << QByteArray("X-H99") << QByteArray("v") << QByteArray();
}

void HttpRequestParserTest::accepts()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, method);
    QFETCH(QString, target);
    QFETCH(QByteArray, headerName);
    QFETCH(QByteArray, headerValue);
    QFETCH(QByteArray, body);

    Parser parser;
    parser.feed(raw);
    QCOMPARE(parser.next(), Parser::Result::Request);
    const Parser::Request request = parser.takeRequest();
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, target);
    QCOMPARE(request.header(headerName), headerValue);
    QCOMPARE(request.body, body);
    for (const auto &header : request.headers)
        QVERIFY(!header.first.isEmpty());
    QCOMPARE(parser.state(), Parser::WaitRequestLine);
}

void HttpRequestParserTest::rejects_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArray>("errorLine");

    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << 400 << false
                              << QByteArray();
    QTest::newRow("version in lower case")
        << QByteArray("GET / http/1.1\r\n\r\n") << 400 << false << QByteArray();
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << 400 << false << QByteArray();
    QTest::newRow("four words") << QByteArray("GET / x HTTP/1.1\r\n\r\n") << 400 << false
                                << QByteArray();
    QTest::newRow("empty line") << QByteArray("\r\n") << 400 << false << QByteArray();
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nNoColon\r\n\r\n") << 400
                                          << false << QByteArray("NoColon\r\n");
    QTest::newRow("header starting with colon")
        << QByteArray("GET / HTTP/1.1\r\n: v\r\n\r\n") << 400 << false << QByteArray(": v\r\n");
    QTest::newRow("bad header after close asked")
        << QByteArray("GET / HTTP/1.1\r\nConnection: ClOsE\r\nbad\r\n\r\n") << 400 << true
        << QByteArray("bad\r\n");
    QTest::newRow("request line too long")
        << QByteArray("GET /" + QByteArray(HttpLimits::MaxRequestLine, 'a') + " HTTP/1.1\r\n\r\n")
        << 414 << true << QByteArray();
    QTest::newRow("too many header lines")
        << QByteArray("GET / HTTP/1.1\r\n" + headerLines(HttpLimits::MaxHeaderLines + 1) + "\r\n")
        << 431 << true << QByteArray();
    QTest::newRow("header block too large") << QByteArray(
        "GET / HTTP/1.1\r\nA: " + QByteArray(HttpLimits::MaxHeaderBlock, 'v') + "\r\n\r\n")
                                            << 431 << true << QByteArray();
    QTest::newRow("body too large")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: "
                      + QByteArray::number(HttpLimits::MaxBody + 1) + "\r\n\r\n")
        << 413 << true << QByteArray();
    QTest::newRow("length beyond any integer")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n") << 413
        << true << QByteArray();
}

void HttpRequestParserTest::rejects()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, status);
    QFETCH(bool, closes);
    QFETCH(QByteArray, errorLine);

    Parser parser;
    parser.feed(raw);
    QCOMPARE(parser.next(), Parser::Result::Error);
    QCOMPARE(parser.errorStatus(), status);
    QCOMPARE(parser.errorClosesConnection(), closes);
    QCOMPARE(parser.errorLine(), errorLine);
    // Whatever followed the error is dropped.
    QCOMPARE(parser.bufferedBytes(), 0);
    QCOMPARE(parser.state(), Parser::WaitRequestLine);
    QVERIFY(!parser.hasPartialRequest());
}

void HttpRequestParserTest::refusesOverlongLineBeforeItEnds_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("status");

    QTest::newRow("request line") << QByteArray(HttpLimits::MaxRequestLine + 2, 'G') << 414;
    QTest::newRow("header line") << QByteArray("GET / HTTP/1.1\r\nA: "
                                               + QByteArray(HttpLimits::MaxHeaderBlock, 'v'))
                                 << 431;
}

void HttpRequestParserTest::refusesOverlongLineBeforeItEnds()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, status);

    // A client that never sends a line feed must not make the buffer grow without bound.
    Parser parser;
    parser.feed(raw.left(raw.size() - 3));
    QCOMPARE(parser.next(), Parser::Result::NeedMore);
    parser.feed(raw.right(3));
    QCOMPARE(parser.next(), Parser::Result::Error);
    QCOMPARE(parser.errorStatus(), status);
}

void HttpRequestParserTest::waitsForTheLineFeed()
{
    Parser parser;
    const QByteArray request("GET /slow HTTP/1.1\r\nHost: x\r\n\r\n");
    for (int i = 0; i < request.size() - 1; ++i) {
        parser.feed(request.mid(i, 1));
        QCOMPARE(parser.next(), Parser::Result::NeedMore);
        QVERIFY(parser.hasPartialRequest());
    }
    parser.feed(request.right(1));
    QCOMPARE(parser.next(), Parser::Result::Request);
    QCOMPARE(parser.takeRequest().target, QStringLiteral("/slow"));
    QVERIFY(!parser.hasPartialRequest());
}

void HttpRequestParserTest::cutsBodyAtContentLength()
{
    Parser parser;
    parser.feed("POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nxyGET /b HTTP/1.1\r\n\r\nPOST /c "
                "HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    QCOMPARE(parser.next(), Parser::Result::Request);
    QCOMPARE(parser.takeRequest().body, QByteArray("xy"));
    QCOMPARE(parser.next(), Parser::Result::Request);
    QCOMPARE(parser.takeRequest().target, QStringLiteral("/b"));
    QCOMPARE(parser.next(), Parser::Result::NeedMore);
    QCOMPARE(parser.state(), Parser::WaitBody);
    parser.feed("cd\r\n");
    QCOMPARE(parser.next(), Parser::Result::Request);
    QCOMPARE(parser.takeRequest().body, QByteArray("abcd"));
    // The CR LF after the body is not part of it: it is an empty request line.
    QCOMPARE(parser.next(), Parser::Result::Error);
    QCOMPARE(parser.errorStatus(), 400);
}

void HttpRequestParserTest::recoversAfterError()
{
    Parser parser;
    parser.feed("GET / HTTP/1.0\r\nGET /dropped HTTP/1.1\r\n\r\n");
    QCOMPARE(parser.next(), Parser::Result::Error);
    QCOMPARE(parser.next(), Parser::Result::NeedMore);
    parser.feed("GET /next HTTP/1.1\r\n\r\n");
    QCOMPARE(parser.next(), Parser::Result::Request);
    QCOMPARE(parser.takeRequest().target, QStringLiteral("/next"));
}

void HttpRequestParserTest::sameResultHoweverSplit_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("last");

    QTest::newRow("pipelined with bodies")
        << QByteArray("GET /1 HTTP/1.1\r\nHost: a\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: "
                      "5\r\n\r\nhe\r\nlGET /3 HTTP/1.1\nX:y\n\nDELETE /4 HTTP/1.1\r\n")
        << 3 << "pending state=1 bytes=0";
    QTest::newRow("ends in an error")
        << QByteArray("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\nbad\r\n\r\nGET /3 "
                      "HTTP/1.1\r\n\r\n")
        << 1 << "error 400 0";
    QTest::newRow("headers at the block limit") << QByteArray(
        "GET / HTTP/1.1\r\nA: " + QByteArray(HttpLimits::MaxHeaderBlock - 7, 'v') + "\r\n\r\n")
                                                << 1 << "pending state=0 bytes=0";
    QTest::newRow("headers just over the block limit") << QByteArray(
        "GET / HTTP/1.1\r\nA: " + QByteArray(HttpLimits::MaxHeaderBlock - 6, 'v') + "\r\n\r\n")
                                                       << 0 << "error 431 1";
    QTest::newRow("request line just over its limit") << QByteArray(
        "GET /" + QByteArray(HttpLimits::MaxRequestLine - 13, 'a') + " HTTP/1.1\r\n\r\n")
                                                      << 0 << "error 414 1";
}

void HttpRequestParserTest::sameResultHoweverSplit()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, requests);
    QFETCH(QString, last);

    const QStringList whole = outcomes({raw});
    QCOMPARE(whole.size(), requests + 1);
    QCOMPARE(whole.last(), last);

    // Every single cut point, for inputs small enough; random pieces for all.
    if (raw.size() < 512) {
        for (int cut = 1; cut < raw.size(); ++cut)
            QCOMPARE(outcomes({raw.left(cut), raw.mid(cut)}), whole);
    }
    QRandomGenerator random(4242);
    for (int round = 0; round < 50; ++round) {
        QList<QByteArray> pieces;
        for (int pos = 0; pos < raw.size();) {
            const int size = 1 + random.bounded(round % 2 ? 8 : 2000);
            pieces << raw.mid(pos, size);
            pos += size;
        }
        QCOMPARE(outcomes(pieces), whole);
    }
}

QTEST_GUILESS_MAIN(HttpRequestParserTest)
#include "tst_httprequestparser.moc"
