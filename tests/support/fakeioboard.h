#pragma once

#include "fakehttpdevice.h"
#include <QByteArray>

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrlQuery>

class QTcpSocket;

// An alarm IO board on loopback: serves its status page alarm.htm (blinking input texts, gpi
// and gpo selects) behind Basic authentication and applies the update queries sent back to it
// (GET /alarm.htm?gpi1=..&gpo1=..&rdm=..). Every request is recorded. It can be told to answer
// with an error, to hang, or to drop connections.
class FakeIoBoard : public FakeHttpDevice
{
    Q_OBJECT

public:
    enum class Mode {
        Normal,
        Fail, // answers 500
        Hang, // reads the request and never answers
        Drop, // closes the connection without an answer
        Ignore, // answers as usual, and keeps its outputs as they were (update queries only)
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // as on the request line
        QString path;
        QString query; // the raw query, without '?'
        QByteArray authorization;
        bool authorized = false;
    };

    explicit FakeIoBoard(QObject *parent = nullptr);
    ~FakeIoBoard() override;

    // With both empty no authentication is asked for.
    void setCredentials(const QString &user, const QString &password);
    // How page reads, respectively update queries, are answered.
    void setMode(Mode mode) { m_mode = mode; }
    void setUpdateMode(Mode mode) { m_updateMode = mode; }
    // The next `count` update queries are answered 500, whatever the update mode.
    void failNextUpdates(int count) { m_updateFailures = count; }

    // Blinking status texts, shown "ON"/"OFF" in ascending number order; a reader numbers them
    // by position from 1.
    void setBlink(int number, bool on) { m_blinks.insert(number, on); }
    // gpi<n> and gpo<n> selects; the value is shown as the selected option.
    void setInput(int number, int value) { m_inputs.insert(number, value); }
    void setOutput(int number, int value) { m_outputs.insert(number, value); }
    QMap<int, bool> blinks() const { return m_blinks; }
    QMap<int, int> inputs() const { return m_inputs; }
    QMap<int, int> outputs() const { return m_outputs; }

    // Served instead of the page built from the state; an empty array goes back to that.
    void setPage(const QByteArray &page) { m_page = page; }
    // What a read gets now.
    QByteArray page() const;

    QList<Request> requests() const { return m_requests; }
    // Reads of the page (no query), answered or not.
    int pageReads() const;
    // Raw queries of the update requests, in arrival order.
    QStringList updates() const;
    void clearRequests() { m_requests.clear(); }

signals:
    void requestReceived(const QString &target);
    void pageRead();
    // An update query (gpi/gpo/rdm), raw as received, before it is applied.
    void updateReceived(const QString &query);

protected:
    void handleHead(QTcpSocket *socket, const RequestHead &head) override;

private:
    void answer(QTcpSocket *socket, int status, const QByteArray &reason, const QByteArray &body,
                bool close, const QByteArray &extraHeaders = QByteArray());
    void apply(const QUrlQuery &query);

    QByteArray m_expectedAuthorization;
    Mode m_mode = Mode::Normal;
    Mode m_updateMode = Mode::Normal;
    int m_updateFailures = 0;
    QMap<int, bool> m_blinks;
    QMap<int, int> m_inputs;
    QMap<int, int> m_outputs;
    QByteArray m_page;
    QList<Request> m_requests;
};
