#include "RelayMetrics.h"

#include "LiveRelay.h"

#include <QTimer>

namespace {

// A label value: backslash, double quote and line feed escaped.
std::string labelValue(const QString& text)
{
    std::string out;
    for (const char c : text.toStdString()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

RelayMetrics::RelayMetrics(
    const LiveRelay* relay, const MediaRooms* media, const QList<MediaServerConfig>& servers, QObject* parent)
    : QObject(parent)
    , m_relay(relay)
    , m_media(media)
    , m_servers(servers)
{
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &RelayMetrics::sample);
    timer->start(1000);
}

void RelayMetrics::sample()
{
    const LiveRelay::Traffic& t = m_relay->traffic();
    std::string text = "# HELP lectern_relay_connections Open relay connections, signed in or not.\n"
                       "# TYPE lectern_relay_connections gauge\n"
                       "lectern_relay_connections "
        + std::to_string(m_relay->sessionCount())
        + "\n# HELP lectern_relay_rooms Rooms with members.\n"
          "# TYPE lectern_relay_rooms gauge\n"
          "lectern_relay_rooms "
        + std::to_string(m_relay->roomCount())
        + "\n# HELP lectern_relay_members Members in rooms.\n"
          "# TYPE lectern_relay_members gauge\n"
          "lectern_relay_members "
        + std::to_string(m_relay->memberCount())
        + "\n# HELP lectern_relay_messages_total Relay messages received and sent.\n"
          "# TYPE lectern_relay_messages_total counter\n"
          "lectern_relay_messages_total{direction=\"in\"} "
        + std::to_string(t.messagesIn) + "\nlectern_relay_messages_total{direction=\"out\"} "
        + std::to_string(t.messagesOut)
        + "\n# HELP lectern_relay_bytes_total Bytes of relay messages received and sent.\n"
          "# TYPE lectern_relay_bytes_total counter\n"
          "lectern_relay_bytes_total{direction=\"in\"} "
        + std::to_string(t.bytesIn) + "\nlectern_relay_bytes_total{direction=\"out\"} "
        + std::to_string(t.bytesOut) + "\n";
    if (!m_servers.isEmpty()) {
        std::string rooms = "# HELP lectern_media_rooms VideoRooms held on each media server.\n"
                            "# TYPE lectern_media_rooms gauge\n";
        std::string up = "# HELP lectern_media_server_up Whether each media server takes new rooms.\n"
                         "# TYPE lectern_media_server_up gauge\n";
        for (int i = 0; i < m_servers.size(); ++i) {
            const std::string label = "{server=\"" + labelValue(m_servers[i].url.toString()) + "\"} ";
            rooms
                += "lectern_media_rooms" + label + std::to_string(m_media ? m_media->roomCount(i) : 0) + "\n";
            up += "lectern_media_server_up" + label + (m_media && m_media->isUp(i) ? "1" : "0") + "\n";
        }
        text += rooms + up;
    }
    const std::string problem = m_relay->isListening() ? std::string() : "live relay: not listening";
    std::lock_guard<std::mutex> g(m_mutex);
    m_text = std::move(text);
    m_problem = problem;
}

std::string RelayMetrics::text() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_text;
}

std::string RelayMetrics::problem() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_problem;
}
