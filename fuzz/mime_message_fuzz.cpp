// Builds messages from arbitrary subjects, texts, names and addresses and
// checks what would go after DATA: every line ends in CR LF and holds at most
// 998 bytes, and the header is exactly the one the builder means to write, so
// no input can add a header line of its own.

#include "FuzzInvariant.h"
#include "mail/MailAddresses.h"
#include "mail/MimeMessage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace corvane;
using corvane::fuzz::check;

namespace {

QString text(FuzzedDataProvider &input, std::size_t longest)
{
    const std::string bytes = input.ConsumeRandomLengthString(longest);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    MimeMessage message;
    message.html = input.ConsumeBool();
    message.priority = input.ConsumeIntegralInRange<int>(0, 6);
    message.returnReceipt = input.ConsumeBool();
    message.date = QDateTime(QDate(2026, 12, 7), QTime(9, 30, 0), Qt::UTC);
    message.senderName = text(input, 2000);
    // Addresses go through the envelope check first, as the sender does it.
    message.senderAddress = text(input, 2000);
    if (!mail::envelopeProblem(message.senderAddress).isEmpty())
        return -1;
    message.messageIdDomain = MimeMessage::idDomain(message.senderAddress, QStringLiteral("corvane.invalid"));
    const int recipients = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < recipients; ++i) {
        const QString address = text(input, 2000);
        if (mail::envelopeProblem(address).isEmpty())
            message.recipients << address;
    }
    message.subject = text(input, 2000);
    message.body = text(input, 1 << 16);

    const QByteArray out = message.build();
    check(out.endsWith("\r\n"), "message ends with a line end");

    QList<QByteArray> headerNames;
    bool inHeader = true;
    qsizetype pos = 0;
    while (pos < out.size()) {
        const qsizetype lf = out.indexOf('\n', pos);
        check(lf > pos && out[lf - 1] == '\r', "every line ends in CR LF");
        const QByteArray line = out.mid(pos, lf - 1 - pos);
        check(!line.contains('\r'), "no bare CR");
        check(line.size() <= 998, "no line over 998 bytes");
        if (inHeader) {
            if (line.isEmpty()) {
                inHeader = false;
            } else if (line[0] == ' ' || line[0] == '\t') {
                check(!headerNames.isEmpty(), "a folded line continues a header");
            } else {
                const qsizetype colon = line.indexOf(':');
                check(colon > 0, "a header line has a name");
                headerNames << line.left(colon);
            }
        }
        pos = lf + 1;
    }
    check(!inHeader, "the header ends");

    QList<QByteArray> expected{"Date", "Message-ID", "From", "To", "Subject"};
    if (message.priority >= 1 && message.priority <= 5)
        expected << "X-Priority" << "Importance";
    if (message.returnReceipt)
        expected << "Disposition-Notification-To";
    expected << "MIME-Version" << "Content-Type" << "Content-Transfer-Encoding";
    check(headerNames == expected, "exactly the builder's own header lines");
    return 0;
}
