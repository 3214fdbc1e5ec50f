#include "mail/MimeMessage.h"

#include "mail/MailEncoding.h"

#include <QUuid>

namespace corvane {

namespace {

struct PriorityWords {
    const char *xPriority;
    const char *importance;
};

// Outlook reads X-Priority, other clients Importance; both say the same.
bool priorityWords(int priority, PriorityWords *words)
{
    switch (priority) {
    case 1: *words = {"1 (Highest)", "High"}; return true;
    case 2: *words = {"2 (High)", "High"}; return true;
    case 3: *words = {"3 (Normal)", "Normal"}; return true;
    case 4: *words = {"4 (Low)", "Low"}; return true;
    case 5: *words = {"5 (Lowest)", "Low"}; return true;
    default: return false;
    }
}

QByteArray addressBytes(const QString &address)
{
    return mail::replaceControls(address).toUtf8();
}

QByteArray addressList(const QStringList &addresses)
{
    QByteArray out;
    int lineLength = 4; // "To: "
    for (int i = 0; i < addresses.size(); ++i) {
        const QByteArray address = addressBytes(addresses[i]);
        if (i > 0) {
            out += ',';
            if (lineLength + 2 + address.size() > 78) {
                out += "\r\n";
                lineLength = 0;
            }
            out += ' ';
            lineLength += 2;
        }
        out += address;
        lineLength += address.size();
    }
    return out;
}

bool isDomainChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.');
}

} // namespace

QByteArray MimeMessage::build() const
{
    QByteArray out;
    out.reserve(600 + body.size() * 3); // one allocation: the body's encoding may triple it
    out += "Date: " + mail::formatDate(date) + "\r\n";
    out += "Message-ID: " + (messageId.isEmpty() ? newMessageId(messageIdDomain) : messageId) + "\r\n";

    const QByteArray from = addressBytes(senderAddress);
    const QByteArray name = senderName.trimmed().isEmpty() ? QByteArray() : mail::encodeDisplayName(senderName, 6);
    if (name.isEmpty()) {
        out += "From: " + from + "\r\n";
    } else {
        const qsizetype lastLine = name.size() - (name.lastIndexOf('\n') + 1) + (name.contains('\n') ? 0 : 6);
        const char *gap = lastLine + 3 + from.size() > 78 ? "\r\n " : " ";
        out += "From: " + name + gap + '<' + from + ">\r\n";
    }
    out += "To: " + addressList(recipients) + "\r\n";
    out += "Subject: " + mail::encodeHeaderText(subject, 9) + "\r\n";

    PriorityWords words{};
    if (priorityWords(priority, &words)) {
        out += QByteArray("X-Priority: ") + words.xPriority + "\r\n";
        out += QByteArray("Importance: ") + words.importance + "\r\n";
    }
    if (returnReceipt)
        out += "Disposition-Notification-To: <" + from + ">\r\n";

    out += "MIME-Version: 1.0\r\n";
    out += html ? "Content-Type: text/html; charset=UTF-8\r\n" : "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += "\r\n";
    out += mail::encodeQuotedPrintable(mail::normaliseLineEnds(body.toUtf8()));
    return out;
}

QByteArray MimeMessage::newMessageId(const QString &domain)
{
    const QByteArray unique = QUuid::createUuid().toByteArray(QUuid::Id128);
    const QByteArray stamp = QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36);
    return '<' + stamp + '.' + unique + '@' + domain.toLatin1() + '>';
}

bool MimeMessage::isMessageId(const QByteArray &id)
{
    if (id.size() < 5 || id.size() > 250 || !id.startsWith('<') || !id.endsWith('>') || !id.contains('@'))
        return false;
    for (qsizetype i = 1; i + 1 < id.size(); ++i) {
        const char c = id.at(i);
        if (c <= ' ' || c > '~' || c == '<' || c == '>')
            return false;
    }
    return true;
}

QString MimeMessage::idDomain(const QString &senderAddress, const QString &fallback)
{
    const int at = senderAddress.lastIndexOf(QLatin1Char('@'));
    const QString domain = at >= 0 ? senderAddress.mid(at + 1) : QString();
    bool usable = !domain.isEmpty() && !domain.startsWith(QLatin1Char('.')) && !domain.endsWith(QLatin1Char('.'));
    for (QChar c : domain)
        usable = usable && isDomainChar(c);
    return usable ? domain : fallback;
}

} // namespace corvane
