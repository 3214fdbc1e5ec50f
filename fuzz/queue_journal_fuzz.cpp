// Feeds arbitrary bytes to the queue journal's reader, as they are and again
// with every record's checksum made right, so the payload decoding is reached
// too, and checks what it reads back.

#include "FuzzInvariant.h"
#include "storage/QueueJournal.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>

using namespace corvane;
using corvane::fuzz::check;

namespace {

void readAndCheck(const QByteArray &bytes)
{
    const QueueJournal::Readout readout = QueueJournal::parse(bytes);
    check(readout.intactBytes >= 0 && readout.intactBytes <= bytes.size(), "intact length");
    std::uint64_t previous = 0;
    for (const QueueJournal::Entry &entry : readout.pending) {
        check(entry.sequence > previous, "pending in storing order");
        check(entry.sequence < readout.nextSequence, "next sequence beyond every one read");
        previous = entry.sequence;
    }
    if (readout.damage == QueueJournal::Damage::Unreadable) {
        check(readout.pending.empty(), "nothing from an unreadable journal");
        return;
    }
    // The intact beginning reads alone as the whole did, without damage.
    const QueueJournal::Readout prefix = QueueJournal::parse(bytes.left(readout.intactBytes));
    check(prefix.damage == QueueJournal::Damage::None || readout.intactBytes < QueueJournal::header().size(),
          "intact beginning reads clean");
    check(prefix.pending.size() == readout.pending.size(), "intact beginning holds the same messages");
    // What was read, written anew, reads back the same.
    QByteArray rewritten = QueueJournal::header();
    for (const QueueJournal::Entry &entry : readout.pending)
        rewritten += QueueJournal::encodeEntry(entry);
    const QueueJournal::Readout again = QueueJournal::parse(rewritten);
    check(again.damage == QueueJournal::Damage::None, "rewrite reads clean");
    check(again.pending.size() == readout.pending.size(), "rewrite keeps every message");
    for (std::size_t i = 0; i < again.pending.size(); ++i) {
        check(again.pending[i].sequence == readout.pending[i].sequence, "rewrite keeps sequences");
        check(again.pending[i].subject == readout.pending[i].subject, "rewrite keeps subjects");
        check(again.pending[i].body == readout.pending[i].body, "rewrite keeps texts");
        check(again.pending[i].sending == readout.pending[i].sending
                  && again.pending[i].messageId == readout.pending[i].messageId,
              "rewrite keeps what went to a server");
        check(again.pending[i].attempts == readout.pending[i].attempts
                  && again.pending[i].firstAttemptMs == readout.pending[i].firstAttemptMs,
              "rewrite keeps the deferral");
    }
}

// The header, then the input cut into records by their own length fields, each
// given the checksum it should have.
QByteArray withGoodChecksums(const QByteArray &input)
{
    QByteArray out = QueueJournal::header();
    qsizetype pos = 0;
    while (input.size() - pos >= 9) {
        QByteArray record = input.mid(pos, 9);
        const auto length = static_cast<quint32>(static_cast<unsigned char>(record[1]))
            | static_cast<quint32>(static_cast<unsigned char>(record[2])) << 8;
        record[3] = 0;
        record[4] = 0;
        const QByteArray payload = input.mid(pos + 9, length);
        uLong crc = crc32(0L, Z_NULL, 0);
        crc = crc32(crc, reinterpret_cast<const Bytef *>(record.constData()), 5);
        crc = crc32(crc, reinterpret_cast<const Bytef *>(payload.constData()), static_cast<uInt>(payload.size()));
        for (int i = 0; i < 4; ++i)
            record[5 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
        out += record + payload;
        pos += 9 + payload.size();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    readAndCheck(input);
    readAndCheck(QueueJournal::header() + input);
    readAndCheck(withGoodChecksums(input));
    return 0;
}
