#include "statusreport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QVector>

namespace StatusReport {

namespace {

// Writes the families one after the other: every sample of a family follows its HELP and TYPE
// lines, as the format asks.
class MetricsWriter
{
public:
    explicit MetricsWriter(int expectedSize) { m_text.reserve(expectedSize); }

    void family(const char *name, const char *type, const char *help)
    {
        m_name = name;
        m_text += "# HELP ";
        m_text += name;
        m_text += ' ';
        m_text += help;
        m_text += "\n# TYPE ";
        m_text += name;
        m_text += ' ';
        m_text += type;
        m_text += '\n';
    }

    // `labels` is empty or a whole label set with its braces.
    void sample(const QByteArray &labels, quint64 value)
    {
        begin(labels);
        m_text += QByteArray::number(value);
        m_text += '\n';
    }
    void sample(const QByteArray &labels, double value)
    {
        begin(labels);
        m_text += QByteArray::number(value, 'f', 3);
        m_text += '\n';
    }

    QByteArray text() const { return m_text; }

private:
    void begin(const QByteArray &labels)
    {
        m_text += m_name;
        m_text += labels;
        m_text += ' ';
    }

    QByteArray m_text;
    const char *m_name = "";
};

QByteArray label(const char *name, const QString &value)
{
    return QByteArray(name) + "=\"" + escapeLabelValue(value) + '"';
}

QByteArray labelSet(std::initializer_list<QByteArray> labels)
{
    QByteArray set = "{";
    bool first = true;
    for (const QByteArray &one : labels) {
        if (!first)
            set += ',';
        set += one;
        first = false;
    }
    return set + '}';
}

double ageSeconds(qint64 nowMs, qint64 thenMs)
{
    return double(nowMs - thenMs) / 1000.0;
}

QJsonValue age(qint64 nowMs, qint64 thenMs)
{
    return thenMs < 0 ? QJsonValue() : QJsonValue(ageSeconds(nowMs, thenMs));
}

QJsonValue time(qint64 ms)
{
    if (ms < 0)
        return QJsonValue();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonValue number(quint64 value)
{
    // JSON numbers are doubles; a counter reaches 2^53 only after centuries of pictures.
    return QJsonValue(double(value));
}

template<typename Map> QJsonObject sizeObject(const Map &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), double(it.value()));
    return object;
}

} // namespace

QByteArray escapeLabelValue(const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (char c : utf8) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

QByteArray metrics(const StatusFacts &facts)
{
    const qint64 now = facts.nowMs;
    MetricsWriter out(4096 + facts.channels.size() * 900 + facts.boards.size() * 600);

    out.family("veltra_up", "gauge", "1 while the service runs.");
    out.sample(QByteArray(), quint64(1));
    out.family("veltra_central_registered", "gauge",
               "1 when the Central server has confirmed the registration.");
    out.sample(QByteArray(), quint64(facts.central.registered ? 1 : 0));
    if (facts.central.lastPingMs >= 0) {
        out.family("veltra_central_last_ping_age_seconds", "gauge",
                   "Seconds since the last ping from the Central server.");
        out.sample(QByteArray(), ageSeconds(now, facts.central.lastPingMs));
    }
    out.family("veltra_config_updates_total", "counter",
               "Configurations received from the Central server.");
    out.sample(QByteArray(), facts.central.configUpdates);
    if (facts.central.lastConfigUpdateMs >= 0) {
        out.family("veltra_config_last_update_timestamp_seconds", "gauge",
                   "When the last configuration was received, in seconds since the epoch.");
        out.sample(QByteArray(), double(facts.central.lastConfigUpdateMs) / 1000.0);
    }
    out.family("veltra_config_update_viewers_kept_total", "counter",
               "Camera viewers kept connected through configuration updates.");
    out.sample(QByteArray(), facts.central.viewersKept);
    out.family("veltra_config_update_viewers_closed_total", "counter",
               "Camera viewers closed by configuration updates that removed their channel.");
    out.sample(QByteArray(), facts.central.viewersClosed);

    QVector<QByteArray> channelLabels;
    channelLabels.reserve(facts.channels.size());
    for (const StatusFacts::Channel &channel : facts.channels) {
        channelLabels.append(labelSet({label("dvr", channel.dvr), label("stream", channel.stream),
                                       label("channel", QString::number(channel.channel))}));
    }
    const auto perChannel
        = [&](const char *name, const char *type, const char *help, const auto &value) {
              out.family(name, type, help);
              for (int i = 0; i < facts.channels.size(); ++i)
                  out.sample(channelLabels.at(i), value(facts.channels.at(i)));
          };
    if (!facts.channels.isEmpty()) {
        perChannel("veltra_relay_viewers", "gauge", "Browsers watching the channel.",
                   [](const StatusFacts::Channel &c) { return quint64(c.viewers); });
        perChannel("veltra_relay_pictures_total", "counter", "Pictures fetched from the camera.",
                   [](const StatusFacts::Channel &c) { return c.pictures; });
        perChannel("veltra_relay_fetch_errors_total", "counter", "Snapshot fetches that failed.",
                   [](const StatusFacts::Channel &c) { return c.fetchErrors; });
        perChannel("veltra_relay_parts_skipped_total", "counter",
                   "Pictures not written to a viewer that was behind.",
                   [](const StatusFacts::Channel &c) { return c.partsSkipped; });
        perChannel("veltra_relay_bytes_sent_total", "counter", "Bytes written to the viewers.",
                   [](const StatusFacts::Channel &c) { return c.bytesSent; });
        perChannel("veltra_relay_snapshots_total", "counter",
                   "Single pictures answered (snapshot=1).",
                   [](const StatusFacts::Channel &c) { return c.snapshots; });
        perChannel("veltra_relay_scaling_seconds_total", "counter",
                   "CPU seconds spent making pictures smaller for viewers that asked a width.",
                   [](const StatusFacts::Channel &c) { return c.scalingSeconds; });
        // By size: a series for every size somebody watches or that was ever made.
        const auto perSize
            = [&](const char *name, const char *type, const char *help, const auto &values) {
                  out.family(name, type, help);
                  for (int i = 0; i < facts.channels.size(); ++i) {
                      const StatusFacts::Channel &c = facts.channels.at(i);
                      const auto &map = values(c);
                      for (auto it = map.cbegin(); it != map.cend(); ++it)
                          out.sample(labelSet({label("dvr", c.dvr), label("stream", c.stream),
                                               label("channel", QString::number(c.channel)),
                                               label("size", it.key())}),
                                     quint64(it.value()));
                  }
              };
        perSize("veltra_relay_viewers_by_size", "gauge",
                "Browsers watching the channel, by the size of the pictures they get.",
                [](const StatusFacts::Channel &c) { return c.viewersBySize; });
        perSize("veltra_relay_scaled_pictures_total", "counter", "Pictures made smaller, by size.",
                [](const StatusFacts::Channel &c) { return c.scaledPictures; });
        out.family("veltra_relay_last_picture_age_seconds", "gauge",
                   "Seconds since the last picture was fetched.");
        for (int i = 0; i < facts.channels.size(); ++i) {
            const qint64 last = facts.channels.at(i).lastPictureMs;
            if (last >= 0)
                out.sample(channelLabels.at(i), ageSeconds(now, last));
        }
    }

    QVector<QByteArray> boardLabels;
    boardLabels.reserve(facts.boards.size());
    for (const StatusFacts::Board &board : facts.boards)
        boardLabels.append(
            labelSet({label("io", QString::number(board.id)), label("name", board.name)}));
    const auto perBoard
        = [&](const char *name, const char *type, const char *help, const auto &value) {
              out.family(name, type, help);
              for (int i = 0; i < facts.boards.size(); ++i)
                  out.sample(boardLabels.at(i), value(facts.boards.at(i)));
          };
    if (!facts.boards.isEmpty()) {
        perBoard("veltra_io_board_up", "gauge", "1 when the last poll of the board was answered.",
                 [](const StatusFacts::Board &b) { return quint64(b.up ? 1 : 0); });
        perBoard("veltra_io_polls_total", "counter", "Polls of the board's page that ended.",
                 [](const StatusFacts::Board &b) { return b.polls; });
        perBoard("veltra_io_poll_errors_total", "counter", "Polls that failed.",
                 [](const StatusFacts::Board &b) { return b.pollErrors; });
        perBoard("veltra_io_events_total", "counter", "Door commands queued.",
                 [](const StatusFacts::Board &b) { return b.events; });
        perBoard("veltra_io_updates_total", "counter", "Update queries sent to the board.",
                 [](const StatusFacts::Board &b) { return b.updates; });
        out.family("veltra_door_commands_total", "counter", "Door commands by result.");
        for (int i = 0; i < facts.boards.size(); ++i) {
            const StatusFacts::Board &b = facts.boards.at(i);
            const QByteArray io = label("io", QString::number(b.id));
            const QByteArray name = label("name", b.name);
            out.sample(labelSet({io, name, label("result", QStringLiteral("confirmed"))}),
                       b.doorsConfirmed);
            out.sample(labelSet({io, name, label("result", QStringLiteral("failed"))}),
                       b.doorsFailed);
            out.sample(labelSet({io, name, label("result", QStringLiteral("refused"))}),
                       b.doorsRefused);
        }
    }
    out.family("veltra_door_journal_write_failures_total", "counter",
               "Writes of doors.db that failed.");
    out.sample(QByteArray(), facts.doorJournal.writeFailures);

    if (!facts.streamers.isEmpty()) {
        QVector<QByteArray> labels;
        for (const StatusFacts::Streamer &streamer : facts.streamers)
            labels.append(labelSet({label("port", streamer.port)}));
        out.family("veltra_streamer_up", "gauge",
                   "1 when the streamer pinged within the liveness limit.");
        for (int i = 0; i < facts.streamers.size(); ++i)
            out.sample(labels.at(i), quint64(facts.streamers.at(i).alive ? 1 : 0));
        out.family("veltra_streamer_launches_total", "counter",
                   "Launches of the streamer asked of the watchdog.");
        for (int i = 0; i < facts.streamers.size(); ++i)
            out.sample(labels.at(i), facts.streamers.at(i).launches);
        out.family("veltra_streamer_last_ping_age_seconds", "gauge",
                   "Seconds since the streamer's last ping.");
        for (int i = 0; i < facts.streamers.size(); ++i) {
            if (facts.streamers.at(i).lastPingMs >= 0)
                out.sample(labels.at(i), ageSeconds(now, facts.streamers.at(i).lastPingMs));
        }
    }

    if (!facts.httpPorts.isEmpty()) {
        out.family("veltra_http_connections", "gauge", "Open connections of the HTTP port.");
        for (const StatusFacts::HttpPort &port : facts.httpPorts)
            out.sample(labelSet({label("port", QString::number(port.port))}),
                       quint64(port.connections));
        out.family("veltra_http2_connections", "gauge",
                   "Open connections of the HTTP port that speak HTTP/2.");
        for (const StatusFacts::HttpPort &port : facts.httpPorts)
            out.sample(labelSet({label("port", QString::number(port.port))}),
                       quint64(port.http2Connections));
        out.family("veltra_http2_streams", "gauge", "Open HTTP/2 streams of the HTTP port.");
        for (const StatusFacts::HttpPort &port : facts.httpPorts)
            out.sample(labelSet({label("port", QString::number(port.port))}),
                       quint64(port.http2Streams));
        out.family("veltra_http_requests_total", "counter", "Requests answered, by status code.");
        for (const StatusFacts::HttpPort &port : facts.httpPorts) {
            const QByteArray portLabel = label("port", QString::number(port.port));
            for (auto it = port.requestsByCode.cbegin(); it != port.requestsByCode.cend(); ++it)
                out.sample(labelSet({portLabel, label("code", QString::number(it.key()))}),
                           it.value());
        }
    }

    if (facts.tls.certificateExpiryMs >= 0) {
        out.family("veltra_tls_certificate_expiry_timestamp_seconds", "gauge",
                   "When the first certificate of [TLS] certificate to expire does, in seconds "
                   "since the epoch.");
        out.sample(QByteArray(), double(facts.tls.certificateExpiryMs) / 1000.0);
    }

    out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.sample(QByteArray(), quint64(facts.process.residentBytes));
    out.family("process_open_fds", "gauge", "Number of open file descriptors.");
    out.sample(QByteArray(), quint64(facts.process.openFds));
    out.family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
    out.sample(QByteArray(), facts.process.cpuSeconds);
    out.family("process_start_time_seconds", "gauge",
               "Start time of the process since the epoch in seconds.");
    out.sample(QByteArray(), facts.process.startTimeSeconds);
    return out.text();
}

QByteArray json(const StatusFacts &facts)
{
    const qint64 now = facts.nowMs;
    QJsonObject central{
        {QStringLiteral("registered"), facts.central.registered},
        {QStringLiteral("lastPingAgeSeconds"), age(now, facts.central.lastPingMs)},
        {QStringLiteral("configUpdates"), number(facts.central.configUpdates)},
        {QStringLiteral("lastConfigUpdateAt"), time(facts.central.lastConfigUpdateMs)},
        {QStringLiteral("viewersKeptByUpdates"), number(facts.central.viewersKept)},
        {QStringLiteral("viewersClosedByUpdates"), number(facts.central.viewersClosed)},
    };

    QJsonArray channels;
    for (const StatusFacts::Channel &c : facts.channels) {
        channels.append(QJsonObject{
            {QStringLiteral("dvr"), c.dvr},
            {QStringLiteral("stream"), c.stream},
            {QStringLiteral("channel"), c.channel},
            {QStringLiteral("port"), c.port},
            {QStringLiteral("viewers"), c.viewers},
            {QStringLiteral("pictures"), number(c.pictures)},
            {QStringLiteral("fetchErrors"), number(c.fetchErrors)},
            {QStringLiteral("partsSkipped"), number(c.partsSkipped)},
            {QStringLiteral("bytesSent"), number(c.bytesSent)},
            {QStringLiteral("lastPictureAgeSeconds"), age(now, c.lastPictureMs)},
            {QStringLiteral("lastError"), c.lastErrorMs < 0 ? QJsonValue() : c.lastError},
            {QStringLiteral("lastErrorAt"), time(c.lastErrorMs)},
            {QStringLiteral("viewersBySize"), sizeObject(c.viewersBySize)},
            {QStringLiteral("scaledPictures"), sizeObject(c.scaledPictures)},
            {QStringLiteral("scalingSeconds"), c.scalingSeconds},
            {QStringLiteral("snapshots"), number(c.snapshots)},
        });
    }

    QJsonArray boards;
    for (const StatusFacts::Board &b : facts.boards) {
        const QString state = !b.polled ? QStringLiteral("idle")
            : b.up                      ? QStringLiteral("up")
                                        : QStringLiteral("down");
        boards.append(QJsonObject{
            {QStringLiteral("id"), b.id},
            {QStringLiteral("name"), b.name},
            {QStringLiteral("state"), state},
            {QStringLiteral("since"), time(b.sinceMs)},
            {QStringLiteral("sinceAgeSeconds"), age(now, b.sinceMs)},
            {QStringLiteral("polls"), number(b.polls)},
            {QStringLiteral("pollErrors"), number(b.pollErrors)},
            {QStringLiteral("events"), number(b.events)},
            {QStringLiteral("updates"), number(b.updates)},
            {QStringLiteral("queued"), b.queued},
            {QStringLiteral("doorCommands"),
             QJsonObject{{QStringLiteral("confirmed"), number(b.doorsConfirmed)},
                         {QStringLiteral("failed"), number(b.doorsFailed)},
                         {QStringLiteral("refused"), number(b.doorsRefused)}}},
            {QStringLiteral("lastError"), b.lastErrorMs < 0 ? QJsonValue() : b.lastError},
            {QStringLiteral("lastErrorAt"), time(b.lastErrorMs)},
        });
    }

    QJsonArray streamers;
    for (const StatusFacts::Streamer &s : facts.streamers) {
        streamers.append(QJsonObject{
            {QStringLiteral("port"), s.port},
            {QStringLiteral("alive"), s.alive},
            {QStringLiteral("launches"), number(s.launches)},
            {QStringLiteral("lastPingAgeSeconds"), age(now, s.lastPingMs)},
        });
    }

    QJsonArray ports;
    for (const StatusFacts::HttpPort &p : facts.httpPorts) {
        QJsonObject requests;
        for (auto it = p.requestsByCode.cbegin(); it != p.requestsByCode.cend(); ++it)
            requests.insert(QString::number(it.key()), number(it.value()));
        ports.append(QJsonObject{{QStringLiteral("port"), p.port},
                                 {QStringLiteral("connections"), p.connections},
                                 {QStringLiteral("http2Connections"), p.http2Connections},
                                 {QStringLiteral("http2Streams"), p.http2Streams},
                                 {QStringLiteral("requests"), requests}});
    }

    const QJsonObject process{
        {QStringLiteral("residentBytes"), double(facts.process.residentBytes)},
        {QStringLiteral("openFds"), facts.process.openFds},
        {QStringLiteral("cpuSeconds"), facts.process.cpuSeconds},
        {QStringLiteral("startTime"), time(qint64(facts.process.startTimeSeconds * 1000))},
    };

    const StatusFacts::DoorJournal &journal = facts.doorJournal;
    const QJsonObject doorJournal{
        {QStringLiteral("open"), journal.open},
        {QStringLiteral("writeFailures"), number(journal.writeFailures)},
        {QStringLiteral("lastError"), journal.lastErrorMs < 0 ? QJsonValue() : journal.lastError},
        {QStringLiteral("lastErrorAt"), time(journal.lastErrorMs)},
    };

    const QJsonObject root{
        {QStringLiteral("now"), time(now)},           {QStringLiteral("central"), central},
        {QStringLiteral("channels"), channels},       {QStringLiteral("boards"), boards},
        {QStringLiteral("streamers"), streamers},     {QStringLiteral("http"), ports},
        {QStringLiteral("doorJournal"), doorJournal}, {QStringLiteral("process"), process},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QByteArray doorsJson(const QList<DoorEntry> &entries)
{
    QJsonArray commands;
    for (const DoorEntry &entry : entries)
        commands.append(entry.toJson());
    return QJsonDocument(QJsonObject{{QStringLiteral("commands"), commands}})
        .toJson(QJsonDocument::Compact);
}

bool parseDoorsQuery(const QUrlQuery &query, DoorsQuery *parsed, QString *error)
{
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        bool ok = false;
        const int limit = query.queryItemValue(QStringLiteral("limit")).toInt(&ok, 10);
        if (!ok || limit < 1) {
            *error = QStringLiteral("limit must be a number from 1 to %1").arg(DoorsMaxLimit);
            return false;
        }
        parsed->limit = qMin(limit, DoorsMaxLimit);
    }
    if (query.hasQueryItem(QStringLiteral("io"))) {
        bool ok = false;
        parsed->io = query.queryItemValue(QStringLiteral("io")).toInt(&ok, 10);
        if (!ok || parsed->io < 0) {
            *error = QStringLiteral("io must be the number of an IO");
            return false;
        }
    }
    return true;
}

} // namespace StatusReport
