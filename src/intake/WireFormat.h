#pragma once

// The command port's datagram format, shared by the command handler and
// corvane-send. Peers built against the Windows program depend on every value
// here: they are fixed, not tunable.
//
// Request (UDP to CommandPort; no length field, no terminator):
//   bytes 1-4   message id, any bytes
//   byte 5      command; SendToList is the only one acted on
//   byte 6      list number as a byte value 1..8
//   bytes 7-    payload; for SendToList: subject, FieldSeparator, text
// Acknowledgement (UDP to AckPort at the sender's address): the id bytes, then
// AckMarker1 and AckMarker2.

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>

namespace corvane::wire {

inline constexpr quint16 CommandPort = 1095;
inline constexpr quint16 AckPort = 1096;

inline constexpr int IdLength = 4;
inline constexpr int CommandOffset = 4;
inline constexpr int ListOffset = 5;
inline constexpr int PayloadOffset = 6;

inline constexpr std::uint8_t SendToList = 1;
inline constexpr char FieldSeparator = '~';

inline constexpr char AckMarker1 = 16;
inline constexpr char AckMarker2 = 1;

// The largest UDP payload IPv4 carries; a longer request cannot be sent.
inline constexpr int MaxDatagram = 65507;

inline QByteArray acknowledgement(const QByteArray &id)
{
    QByteArray ack = id;
    ack.append(AckMarker1);
    ack.append(AckMarker2);
    return ack;
}

} // namespace corvane::wire
