#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace corvane {

class NotificationQueue;

// The datagram rules without the socket: id, command and list bytes, the repeat
// filter and the acknowledgement. Kept apart from the socket so the rules can be
// tested and fuzzed byte by byte.
class CommandHandler {
public:
    static constexpr char AckMarker1 = 16;
    static constexpr char AckMarker2 = 1;

    explicit CommandHandler(NotificationQueue &queue);

    // Handles one datagram; returns the acknowledgement to send, or nothing when
    // the datagram gets no answer. Never throws.
    std::optional<QByteArray> handle(const QByteArray &datagram);

    // Raw id bytes of the last datagram that was not a repeat.
    QByteArray LastMessageId;

    // Subject and text bytes: UTF-8 when valid, else Windows-1252.
    static QString decodePayloadField(const QByteArray &bytes);

private:
    NotificationQueue &m_queue;
};

} // namespace corvane
