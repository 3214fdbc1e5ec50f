#include "intake/CommandHandler.h"

#include "intake/NotificationQueue.h"
#include "intake/WireFormat.h"
#include "storage/TextCodec.h"

#include <QStringDecoder>

namespace corvane {

namespace {

char foldAsciiCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

CommandHandler::CommandHandler(NotificationQueue &queue)
    : m_queue(queue)
{
}

bool CommandHandler::sameId(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (foldAsciiCase(a[i]) != foldAsciiCase(b[i]))
            return false;
    }
    return true;
}

QString CommandHandler::decodePayloadField(const QByteArray &bytes)
{
    // One pass: decode as UTF-8 and fall back on any error. A leading byte
    // order mark is part of what the peer sent; the default decoder would
    // swallow it.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return decodeCp1252(bytes);
    return text;
}

std::optional<QByteArray> CommandHandler::handle(const QByteArray &datagram) noexcept
{
    bool queued = false;
    return handle(datagram, &queued);
}

void CommandHandler::syncQueued() noexcept
{
    try {
        m_queue.syncJournal();
    } catch (...) {
    }
}

std::optional<QByteArray> CommandHandler::handle(const QByteArray &datagram, bool *queuedMessage) noexcept
{
    *queuedMessage = false;
    // A failure in one step must not cost the sender its acknowledgement nor the
    // program its life, so every step that can fail is fenced on its own.
    QByteArray id;
    try {
        id = datagram.left(wire::IdLength);
    } catch (...) {
    }
    const std::uint8_t command = datagram.size() > wire::CommandOffset
        ? static_cast<std::uint8_t>(datagram[wire::CommandOffset])
        : std::uint8_t{0};
    const std::int16_t listNumber = datagram.size() > wire::ListOffset
        ? static_cast<std::int16_t>(static_cast<std::uint8_t>(datagram[wire::ListOffset]))
        : std::int16_t{0};

    try {
        if (sameId(id, LastMessageId))
            return wire::acknowledgement(id);
        LastMessageId = id;
        if (datagram.isEmpty())
            return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }

    try {
        *queuedMessage = act(command, listNumber,
                             datagram.size() > wire::PayloadOffset ? datagram.mid(wire::PayloadOffset) : QByteArray());
    } catch (...) {
    }

    try {
        return wire::acknowledgement(id);
    } catch (...) {
        return std::nullopt;
    }
}

bool CommandHandler::act(std::uint8_t command, std::int16_t listNumber, const QByteArray &payload)
{
    if (command != wire::SendToList)
        return false;
    const qsizetype firstTilde = payload.indexOf(wire::FieldSeparator);
    if (firstTilde < 0)
        return false;
    const qsizetype secondTilde = payload.indexOf(wire::FieldSeparator, firstTilde + 1);
    const QByteArray subject = payload.left(firstTilde);
    const QByteArray text = secondTilde < 0 ? payload.mid(firstTilde + 1)
                                            : payload.mid(firstTilde + 1, secondTilde - firstTilde - 1);
    // An overflow loses the request; the sender is acknowledged all the same
    // because the datagram did arrive.
    return m_queue.QueueEmail(listNumber, decodePayloadField(subject), decodePayloadField(text))
        == QueueResult::Queued;
}

} // namespace corvane
