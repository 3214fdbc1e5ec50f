#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace corvane {

class NotificationQueue;

// The datagram rules without the socket: id, command and list bytes, the repeat
// filter and the acknowledgement. Kept apart from the socket so the rules can be
// tested and fuzzed byte by byte.
//
// The layout is in WireFormat.h. Every datagram except an empty one that
// follows a non-empty id is acknowledged.
class CommandHandler {
public:
    explicit CommandHandler(NotificationQueue &queue);

    // Handles one datagram; returns the acknowledgement to send, or nothing when
    // the datagram gets no answer. Never throws.
    std::optional<QByteArray> handle(const QByteArray &datagram) noexcept;
    // The same; *queuedMessage tells whether the datagram queued a message, whose
    // acknowledgement must wait for syncQueued().
    std::optional<QByteArray> handle(const QByteArray &datagram, bool *queuedMessage) noexcept;

    // Makes the messages queued so far durable (one sync for a whole batch).
    void syncQueued() noexcept;

    // The queue its send commands go to.
    NotificationQueue &queue() { return m_queue; }

    // Raw id bytes of the last datagram that was not a repeat.
    const QByteArray &lastMessageId() const { return LastMessageId; }

    // Subject and text bytes: UTF-8 when valid, else Windows-1252.
    static QString decodePayloadField(const QByteArray &bytes);

    // Equal apart from the case of the ASCII letters; every other byte exactly.
    static bool sameId(const QByteArray &a, const QByteArray &b);

private:
    bool act(std::uint8_t command, std::int16_t listNumber, const QByteArray &payload);

    NotificationQueue &m_queue;
    QByteArray LastMessageId;
};

} // namespace corvane
