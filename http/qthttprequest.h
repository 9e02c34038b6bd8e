#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QtHttpServer;
class HttpConnection;

// One parsed HTTP request. Its parent is the accepting server; the connection handler releases it
// once its reply has been written (or when the connection it was taken over on goes away).
class QtHttpRequest : public QObject
{
    Q_OBJECT

public:
    QtHttpRequest(HttpConnection *client, QtHttpServer *parent);

    QUrl url() const { return m_url; }
    QString command() const { return m_command; }
    QByteArray rawData() const { return m_rawData; }
    int rawDataSize() const { return m_rawData.size(); }
    // Header names are compared byte for byte: "content-length" is not "Content-Length".
    QByteArray header(const QByteArray &name) const { return m_headers.value(name); }
    QList<QByteArray> headerNames() const { return m_headers.keys(); }
    // The connection (or HTTP/2 stream) the request came on.
    HttpConnection *client() const { return m_client; }
    QtHttpServer *server() const { return m_server; }

public slots:
    void setUrl(const QUrl &url);
    void setCommand(const QString &command);
    void addHeader(const QByteArray &header, const QByteArray &value);
    void appendRawData(const QByteArray &data);

private:
    QUrl m_url;
    QString m_command;
    QByteArray m_rawData;
    QtHttpServer *m_server;
    HttpConnection *m_client;
    QHash<QByteArray, QByteArray> m_headers;
};
