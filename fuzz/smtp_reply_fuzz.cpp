// libFuzzer target for the SMTP reply reader: whatever a
// server sends, take() ends, never reads out of bounds, and every reply it
// returns is either a failure or a valid code with its lines.
#include "mail/SmtpReply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first byte splits the input into two arrivals, as a socket may.
    const std::size_t split = size == 0 ? 0 : data[0] % size;
    QByteArray buffer(reinterpret_cast<const char *>(data), static_cast<qsizetype>(split));
    const QByteArray later(reinterpret_cast<const char *>(data) + split, static_cast<qsizetype>(size - split));
    bool fed = false;
    for (int round = 0; round < 1000; ++round) {
        const qsizetype before = buffer.size();
        corvane::SmtpReply reply;
        if (!corvane::SmtpReply::take(buffer, &reply)) {
            if (buffer.size() != before)
                std::abort(); // nothing may be consumed without a reply
            if (fed)
                return 0;
            buffer += later;
            fed = true;
            continue;
        }
        if (reply.received()) {
            if (reply.code < 100 || reply.code > 599 || reply.lines.isEmpty() || buffer.size() >= before)
                std::abort();
            if (!reply.enhanced.isEmpty()
                && (reply.enhanced.front() != QLatin1Char(char('0' + reply.code / 100))
                    || !reply.lines.first().startsWith(reply.enhanced)))
                std::abort(); // an enhanced code is the reply's own class, read from its first line
        } else {
            if (reply.failure.isEmpty())
                std::abort();
            return 0; // the connection would end here
        }
    }
    return 0;
}
