#pragma once

#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <memory>

class FakeCamera;
class FakeCentral;
class FakeIoBoard;
class FakeWatchdog;
class SystemData;

// Everything around a site service on one machine: the Central server that registers it and
// pushes a demo configuration, a DVR with sixteen live channels on one MJPEG stream, an IO board
// with two doors and the watchdog that launches streamers. All on loopback.
class SiteSimulator : public QObject
{
    Q_OBJECT
public:
    struct Ports
    {
        quint16 pub = 5001; // Central publishes
        quint16 pull = 5002; // Central collects
        quint16 ipc = 11223; // the service's IPC channel (watchdog connects)
        quint16 event = 8087; // the service's layout server (for the printed links)
        quint16 relay = 8090; // the MJPEG relay's output port
        quint16 rtsp = 8554; // the RTSP stream's output port (streamer key)
        quint16 camera = 8180;
        quint16 board = 8280;
    };

    static const char DvrName[];
    static const char IoName[];
    static const int IoId = 1;

    explicit SiteSimulator(const Ports &ports, QObject *parent = nullptr);
    ~SiteSimulator() override;

    bool start();
    // The service's ports speak HTTPS ([TLS] set): the links printed say so.
    void setHttps(bool https) { m_https = https; }
    // Channels of the demo MJPEG stream (16 by default), before start().
    void setChannels(int channels) { m_channels = channels; }
    // Each channel's picture is painted anew at most this often (0: at every fetch), so that a
    // benchmark's camera costs little beside the service it measures.
    void setPaintIntervalMs(int ms) { m_paintIntervalMs = ms; }

    // A line typed at the simulator's console: "board fail" makes the IO board answer with
    // errors, "board ok" brings it back; "camera fail" and "camera ok" do the same for the
    // camera's snapshots. Returns false for a line it does not know.
    bool command(const QString &line);

    SystemData demoConfiguration() const;
    QString demoLayoutPage() const;

private:
    void sendPing();
    void onHello(const QString &serviceId);

    Ports m_ports;
    bool m_https = false;
    // More channels on the one MJPEG output port than a browser opens HTTP/1.1 connections to
    // one host and port (six), as on a real 16-channel DVR: over HTTP/1.1 a page of them all
    // shows six, over HTTP/2 (with TLS) every one.
    int m_channels = 16;
    int m_paintIntervalMs = 0;
    // Channel: when its picture was painted, and the picture.
    QHash<int, QPair<qint64, QByteArray>> m_painted;
    int m_pingNumber = 0;
    QString m_serviceId;
    QTimer m_pingTimer;
    std::unique_ptr<FakeCentral> m_central;
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeIoBoard> m_board;
    std::unique_ptr<FakeWatchdog> m_watchdog;
};
