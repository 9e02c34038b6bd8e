#include "fakecamera.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const QByteArray PictureMarker = QByteArrayLiteral("FAKECAM|");
}

FakeCamera::FakeCamera(QObject *parent)
    : FakeHttpDevice(parent)
{ }

FakeCamera::~FakeCamera() = default;

QString FakeCamera::url(const QString &target) const
{
    return QStringLiteral("http://%1:%2%3").arg(host()).arg(port()).arg(target);
}

void FakeCamera::requireCredentials(const QString &user, const QString &password)
{
    m_requireAuth = true;
    m_expectedAuthorization
        = "Basic " + QString(user + QLatin1Char(':') + password).toLocal8Bit().toBase64();
}

int FakeCamera::requestCount(const QByteArray &target) const
{
    int count = 0;
    for (const Request &request : m_requests)
        count += request.target == target;
    return count;
}

void FakeCamera::resetCounts()
{
    m_requests.clear();
    m_served.clear();
    m_maxOutstanding = m_outstanding;
}

QByteArray FakeCamera::makePicture(const QByteArray &target, int sequence, int size)
{
    // Starts and ends like a JPEG, so anything that sniffs the bytes takes it for one.
    QByteArray picture = QByteArray("\xFF\xD8", 2) + PictureMarker + target + '|'
        + QByteArray::number(sequence) + '|';
    if (size > picture.size() + 2)
        picture.append(size - picture.size() - 2, 'x');
    picture.append("\xFF\xD9", 2);
    return picture;
}

QByteArray FakeCamera::pictureTarget(const QByteArray &picture)
{
    if (!picture.startsWith(QByteArray("\xFF\xD8", 2) + PictureMarker))
        return QByteArray();
    return picture.mid(2).split('|').value(1);
}

int FakeCamera::pictureSequence(const QByteArray &picture)
{
    if (!picture.startsWith(QByteArray("\xFF\xD8", 2) + PictureMarker))
        return 0;
    return picture.mid(2).split('|').value(2).toInt();
}

void FakeCamera::handleHead(QTcpSocket *socket, const RequestHead &head)
{
    m_requests.append(head);
    emit requestReceived(head.target);
    answer(socket, head);
}

void FakeCamera::answer(QTcpSocket *socket, const Request &request)
{
    ++m_outstanding;
    m_maxOutstanding = qMax(m_maxOutstanding, m_outstanding);
    if (m_behaviour == Behaviour::Hang)
        return;
    if (m_behaviour == Behaviour::Drop) {
        dropConnection(socket);
        --m_outstanding;
        return;
    }
    const QByteArray bytes = response(request);
    if (m_delayMs <= 0) {
        socket->write(bytes);
        --m_outstanding;
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(m_delayMs, this, [this, guard, bytes] {
        --m_outstanding;
        if (guard && guard->state() == QAbstractSocket::ConnectedState)
            guard->write(bytes);
    });
}

QByteArray FakeCamera::response(const Request &request)
{
    if (m_requireAuth && request.header("Authorization") != m_expectedAuthorization) {
        return QByteArrayLiteral("HTTP/1.1 401 Unauthorized\r\n"
                                 "WWW-Authenticate: Basic realm=\"fake camera\"\r\n"
                                 "Content-Length: 0\r\n\r\n");
    }
    if (m_behaviour == Behaviour::FailStatus) {
        return "HTTP/1.1 " + QByteArray::number(m_failStatus)
            + " Failed\r\nContent-Length: 0\r\n\r\n";
    }
    QByteArray body;
    if (m_fixed.contains(request.target)) {
        body = m_fixed.value(request.target);
    } else if (m_pictureProvider) {
        body = m_pictureProvider(request.target);
    } else {
        body = makePicture(request.target, m_served.value(request.target) + 1, m_pictureSize);
    }
    ++m_served[request.target];
    return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}
