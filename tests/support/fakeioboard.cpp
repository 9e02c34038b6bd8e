#include "fakeioboard.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

// Two options, off first, so that the board's reader (which looks at the first option only)
// sees 0 when the first is selected and 1 otherwise; other values get an option of their own.
QByteArray selectElement(const QByteArray &name, int value)
{
    QByteArray html = "<SELECT NAME=\"" + name + "\">";
    if (value != 0 && value != 1)
        html += "<OPTION VALUE=\"" + QByteArray::number(value) + "\" SELECTED>"
            + QByteArray::number(value) + "</OPTION>";
    html += value == 0 ? "<OPTION VALUE=\"0\" SELECTED>Off</OPTION>"
                       : "<OPTION VALUE=\"0\">Off</OPTION>";
    html += value == 1 ? "<OPTION VALUE=\"1\" SELECTED>On</OPTION>"
                       : "<OPTION VALUE=\"1\">On</OPTION>";
    return html + "</SELECT>";
}

} // namespace

FakeIoBoard::FakeIoBoard(QObject *parent)
    : FakeHttpDevice(parent)
{ }

FakeIoBoard::~FakeIoBoard() = default;

void FakeIoBoard::setCredentials(const QString &user, const QString &password)
{
    if (user.isEmpty() && password.isEmpty())
        m_expectedAuthorization.clear();
    else
        m_expectedAuthorization
            = "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

QByteArray FakeIoBoard::page() const
{
    if (!m_page.isEmpty())
        return m_page;
    // Laid out like a real board: comments (one hiding a decoy select), capital tags, one
    // element per line.
    QByteArray html = "<HTML><HEAD><TITLE>Alarm</TITLE></HEAD>\r\n<BODY>\r\n"
                      "<!-- <SELECT NAME=\"gpo99\"><OPTION VALUE=\"5\" SELECTED></OPTION>"
                      "</SELECT> <BLINK>ON</BLINK> -->\r\n"
                      "<FORM ACTION=\"alarm.htm\" METHOD=\"GET\"><TABLE>\r\n";
    for (auto it = m_blinks.cbegin(); it != m_blinks.cend(); ++it)
        html += "<TR><TD>Input " + QByteArray::number(it.key()) + "</TD><TD><BLINK>"
            + (it.value() ? "ON" : "OFF") + "</BLINK></TD></TR>\r\n";
    for (auto it = m_inputs.cbegin(); it != m_inputs.cend(); ++it)
        html += "<TR><TD>Input mode " + QByteArray::number(it.key()) + "</TD><TD>"
            + selectElement("gpi" + QByteArray::number(it.key()), it.value()) + "</TD></TR>\r\n";
    for (auto it = m_outputs.cbegin(); it != m_outputs.cend(); ++it)
        html += "<TR><TD>Output " + QByteArray::number(it.key()) + "</TD><TD>"
            + selectElement("gpo" + QByteArray::number(it.key()), it.value()) + "</TD></TR>\r\n";
    html += "</TABLE><INPUT TYPE=\"submit\" VALUE=\"Apply\"></FORM>\r\n</BODY></HTML>\r\n";
    return html;
}

int FakeIoBoard::pageReads() const
{
    int count = 0;
    for (const Request &request : m_requests) {
        if (request.path == QLatin1String("/alarm.htm") && request.query.isEmpty())
            ++count;
    }
    return count;
}

QStringList FakeIoBoard::updates() const
{
    QStringList queries;
    for (const Request &request : m_requests) {
        if (request.path == QLatin1String("/alarm.htm") && !request.query.isEmpty())
            queries.append(request.query);
    }
    return queries;
}

void FakeIoBoard::handleHead(QTcpSocket *socket, const RequestHead &head)
{
    Request request;
    request.method = head.method;
    request.target = head.target;
    const QUrl url(QString::fromUtf8(request.target), QUrl::TolerantMode);
    request.path = url.path();
    request.query = url.query(QUrl::FullyEncoded);
    request.authorization = head.header("Authorization");
    const bool close = head.header("Connection").toLower() == "close";
    request.authorized
        = m_expectedAuthorization.isEmpty() || request.authorization == m_expectedAuthorization;
    m_requests.append(request);

    emit requestReceived(QString::fromUtf8(request.target));
    const bool isBoardPage = request.path == QLatin1String("/alarm.htm");
    if (isBoardPage && request.query.isEmpty())
        emit pageRead();
    else if (isBoardPage)
        emit updateReceived(request.query);

    const bool isUpdate = isBoardPage && !request.query.isEmpty();
    Mode mode = isUpdate ? m_updateMode : m_mode;
    if (isUpdate && m_updateFailures > 0) {
        --m_updateFailures;
        mode = Mode::Fail;
    }
    switch (mode) {
    case Mode::Hang:
        return;
    case Mode::Drop:
        dropConnection(socket);
        return;
    case Mode::Fail:
        answer(socket, 500, "Internal Server Error", "board failure", close);
        return;
    case Mode::Normal:
    case Mode::Ignore:
        break;
    }
    if (!request.authorized) {
        answer(socket, 401, "Unauthorized", "unauthorized", close,
               "WWW-Authenticate: Basic realm=\"IO board\"\r\n");
        return;
    }
    if (!isBoardPage) {
        answer(socket, 404, "Not Found", "not found", close);
        return;
    }
    if (!request.query.isEmpty() && mode != Mode::Ignore)
        apply(QUrlQuery(url));
    answer(socket, 200, "OK", page(), close);
}

void FakeIoBoard::answer(QTcpSocket *socket, int status, const QByteArray &reason,
                         const QByteArray &body, bool close, const QByteArray &extraHeaders)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    response += "Content-Type: text/html\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += extraHeaders;
    response += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    response += "\r\n";
    socket->write(response + body);
    if (close)
        socket->disconnectFromHost();
}

// The board takes the submitted form as its new settings: gpi<n> the input selects, gpo<n> the
// outputs. Other parameters (rdm) are ignored.
void FakeIoBoard::apply(const QUrlQuery &query)
{
    const auto items = query.queryItems();
    for (const auto &item : items) {
        bool ok = false;
        const int number = item.first.mid(3).toInt(&ok, 10);
        const int value = item.second.toInt(nullptr, 10);
        if (!ok)
            continue;
        if (item.first.startsWith(QLatin1String("gpo")))
            m_outputs.insert(number, value);
        else if (item.first.startsWith(QLatin1String("gpi")))
            m_inputs.insert(number, value);
    }
}
