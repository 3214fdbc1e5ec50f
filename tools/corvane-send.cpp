// corvane-send: hands one notification to Corvane's UDP command port and waits
// for the acknowledgement, resending with the same id until it comes.

#include "intake/WireFormat.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QRandomGenerator>
#include <QThread>
#include <QUdpSocket>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

namespace wire = corvane::wire;

enum ExitCode { Acknowledged = 0, NoAcknowledgement = 1, UsageError = 2, SocketError = 3 };

// The datagram layout and the acknowledgement are those of intake/WireFormat.h.
QString description()
{
    return QStringLiteral(
               "Sends one notification to Corvane and waits for its acknowledgement.\n"
               "\n"
               "Datagram (UDP to port %1 on this machine; no length field, no terminator):\n"
               "  bytes 1-%2  message id, any bytes; a datagram whose id equals the previous\n"
               "             one (ASCII letters compared without case) is only acknowledged\n"
               "  byte %3     command: %4 = send to list; any other value does nothing\n"
               "  byte %5     list number as a byte value 1..8 (not the digit character)\n"
               "  bytes %6-   subject, '%7', text (UTF-8, or Windows-1252 when not valid UTF-8)\n"
               "Acknowledgement (UDP to port %8 at the sender's address): the id bytes,\n"
               "then the bytes %9 and %10. It only says the datagram arrived; a request for an\n"
               "unknown list or with a blank subject or text is acknowledged and dropped.\n"
               "Resending with the same id is safe: the repeat is acknowledged, not queued.\n"
               "\n"
               "Exit status: 0 acknowledged, 1 no acknowledgement, 2 bad arguments,\n"
               "3 socket error.")
        .arg(wire::CommandPort)
        .arg(wire::IdLength)
        .arg(wire::CommandOffset + 1)
        .arg(wire::SendToList)
        .arg(wire::ListOffset + 1)
        .arg(wire::PayloadOffset + 1)
        .arg(QLatin1Char(wire::FieldSeparator))
        .arg(wire::AckPort)
        .arg(int(wire::AckMarker1))
        .arg(int(wire::AckMarker2));
}

void fail(const QString &message)
{
    std::fprintf(stderr, "corvane-send: %s\n", qPrintable(message));
}

QByteArray randomId()
{
    // Upper case only: the repeat filter ignores letter case, so mixed case would
    // not add any distinct ids.
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray id;
    for (int i = 0; i < wire::IdLength; ++i)
        id.append(alphabet[QRandomGenerator::system()->bounded(36)]);
    return id;
}

QByteArray printableId(const QByteArray &id)
{
    for (const char c : id) {
        if (c < 0x21 || c > 0x7E)
            return "0x" + id.toHex();
    }
    return id;
}

std::optional<QHostAddress> resolveIPv4(const QString &host)
{
    QHostAddress address;
    if (address.setAddress(host))
        return address.protocol() == QAbstractSocket::IPv4Protocol ? std::optional(address) : std::nullopt;
    const QHostInfo info = QHostInfo::fromName(host);
    for (const QHostAddress &candidate : info.addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate;
    }
    return std::nullopt;
}

bool parseNumber(const QString &text, double min, double max, double *out)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    // "nan" and "inf" parse; NaN passes every range comparison.
    if (!ok || !std::isfinite(value) || value < min || value > max)
        return false;
    *out = value;
    return true;
}

struct Request {
    QByteArray datagram;
    QByteArray id;
};

std::optional<Request> buildRequest(const QCommandLineParser &args)
{
    Request request;
    if (args.isSet(QStringLiteral("raw"))) {
        const QByteArray hex = args.value(QStringLiteral("raw")).toLatin1();
        const QByteArray bytes = QByteArray::fromHex(hex);
        if (bytes.toHex() != hex.toLower()) {
            fail(QStringLiteral("--raw takes an even number of hexadecimal digits"));
            return std::nullopt;
        }
        request.datagram = bytes;
        request.id = bytes.left(wire::IdLength);
        return request;
    }

    double list = 0;
    if (!args.isSet(QStringLiteral("list"))
        || !parseNumber(args.value(QStringLiteral("list")), 1, 8, &list) || list != int(list)) {
        fail(QStringLiteral("--list must be a list number from 1 to 8"));
        return std::nullopt;
    }
    double command = 1;
    if (args.isSet(QStringLiteral("command"))
        && (!parseNumber(args.value(QStringLiteral("command")), 0, 255, &command) || command != int(command))) {
        fail(QStringLiteral("--command must be a number from 0 to 255"));
        return std::nullopt;
    }
    const QString subject = args.value(QStringLiteral("subject"));
    QString text = args.value(QStringLiteral("text"));
    if (text == QLatin1String("-")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read standard input"));
            return std::nullopt;
        }
        QByteArray bytes = in.readAll();
        // One line ending from `echo` or a here-document is not part of the text.
        if (bytes.endsWith('\n'))
            bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
        text = QString::fromUtf8(bytes);
    }
    // Corvane trims spaces only; a tab alone is a text.
    const auto blank = [](const QString &s) { return s.count(QLatin1Char(' ')) == s.size(); };
    if (blank(subject) || blank(text)) {
        fail(QStringLiteral("--subject and --text must not be blank (Corvane would drop the message)"));
        return std::nullopt;
    }
    if (subject.contains(QLatin1Char(wire::FieldSeparator)) || text.contains(QLatin1Char(wire::FieldSeparator))) {
        fail(QStringLiteral("'%1' separates subject and text and cannot appear in either")
                 .arg(QLatin1Char(wire::FieldSeparator)));
        return std::nullopt;
    }

    request.id = args.isSet(QStringLiteral("id")) ? args.value(QStringLiteral("id")).toUtf8() : randomId();
    if (request.id.size() != wire::IdLength) {
        fail(QStringLiteral("--id must be exactly %1 bytes, for example A001").arg(wire::IdLength));
        return std::nullopt;
    }
    request.datagram = request.id;
    request.datagram.append(static_cast<char>(int(command)));
    request.datagram.append(static_cast<char>(int(list)));
    request.datagram.append(subject.toUtf8());
    request.datagram.append(wire::FieldSeparator);
    request.datagram.append(text.toUtf8());
    return request;
}

// Port 1096 belongs to one waiting sender at a time; a second one waits its turn
// instead of stealing the first one's acknowledgement.
bool bindAckPort(QUdpSocket &socket, quint16 port, const QDeadlineTimer &deadline)
{
    for (;;) {
        if (socket.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress))
            return true;
        if (socket.error() != QAbstractSocket::AddressInUseError || deadline.hasExpired()) {
            fail(QStringLiteral("cannot listen for the acknowledgement on UDP port %1: %2")
                     .arg(port)
                     .arg(socket.errorString()));
            return false;
        }
        QThread::msleep(50);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-send"));

    QCommandLineParser args;
    args.setApplicationDescription(description());
    args.addHelpOption();
    args.addOptions({
        {QStringLiteral("list"), QStringLiteral("Recipient list 1..8."), QStringLiteral("N")},
        {QStringLiteral("subject"), QStringLiteral("Subject of the message."), QStringLiteral("TEXT")},
        {QStringLiteral("text"), QStringLiteral("Message text; '-' reads it from standard input."),
         QStringLiteral("TEXT")},
        {QStringLiteral("id"), QStringLiteral("Four-character message id (default: random letters and digits)."),
         QStringLiteral("XXXX")},
        {QStringLiteral("command"), QStringLiteral("Command byte (default 1, send to list)."), QStringLiteral("N")},
        {QStringLiteral("raw"), QStringLiteral("Send these bytes as they are instead (testing)."),
         QStringLiteral("HEX")},
        {QStringLiteral("host"), QStringLiteral("Corvane's host (default 127.0.0.1)."), QStringLiteral("HOST"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Command port (default %1).").arg(wire::CommandPort),
         QStringLiteral("PORT"), QString::number(wire::CommandPort)},
        {QStringLiteral("ack-port"), QStringLiteral("Port the acknowledgement comes to (default %1).").arg(wire::AckPort),
         QStringLiteral("PORT"), QString::number(wire::AckPort)},
        {QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the acknowledgement after each send (default 1)."),
         QStringLiteral("SECONDS"), QStringLiteral("1")},
        {QStringLiteral("retries"), QStringLiteral("Resends after the first send (default 4)."), QStringLiteral("N"),
         QStringLiteral("4")},
    });
    if (!args.parse(QCoreApplication::arguments())) {
        fail(args.errorText());
        return UsageError;
    }
    if (args.isSet(QStringLiteral("help")))
        args.showHelp(Acknowledged);
    if (!args.positionalArguments().isEmpty()) {
        fail(QStringLiteral("unexpected argument %1").arg(args.positionalArguments().first()));
        return UsageError;
    }

    double port = 0, ackPort = 0, timeout = 0, retries = 0;
    if (!parseNumber(args.value(QStringLiteral("port")), 1, 65535, &port)
        || !parseNumber(args.value(QStringLiteral("ack-port")), 1, 65535, &ackPort)) {
        fail(QStringLiteral("ports are numbers from 1 to 65535"));
        return UsageError;
    }
    if (!parseNumber(args.value(QStringLiteral("timeout")), 0.01, 3600, &timeout)) {
        fail(QStringLiteral("--timeout must be a number of seconds from 0.01 to 3600"));
        return UsageError;
    }
    if (!parseNumber(args.value(QStringLiteral("retries")), 0, 1000, &retries) || retries != int(retries)) {
        fail(QStringLiteral("--retries must be a whole number from 0 to 1000"));
        return UsageError;
    }

    const std::optional<Request> request = buildRequest(args);
    if (!request)
        return UsageError;
    if (request->datagram.size() > wire::MaxDatagram) {
        fail(QStringLiteral("the datagram would be %1 bytes; at most %2 fit").arg(request->datagram.size()).arg(wire::MaxDatagram));
        return UsageError;
    }
    const std::optional<QHostAddress> host = resolveIPv4(args.value(QStringLiteral("host")));
    if (!host) {
        fail(QStringLiteral("no IPv4 address for host %1").arg(args.value(QStringLiteral("host"))));
        return UsageError;
    }

    const qint64 perAttemptMs = qMax<qint64>(1, qint64(timeout * 1000));
    const int attempts = int(retries) + 1;
    QUdpSocket socket;
    if (!bindAckPort(socket, quint16(ackPort), QDeadlineTimer(perAttemptMs * attempts)))
        return SocketError;

    const QByteArray expected = wire::acknowledgement(request->id);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (socket.writeDatagram(request->datagram, *host, quint16(port)) != request->datagram.size()) {
            fail(QStringLiteral("cannot send to %1 port %2: %3")
                     .arg(host->toString())
                     .arg(quint16(port))
                     .arg(socket.errorString()));
            return SocketError;
        }
        QDeadlineTimer deadline(perAttemptMs);
        while (!deadline.hasExpired()) {
            if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
            while (socket.hasPendingDatagrams()) {
                const qint64 size = socket.pendingDatagramSize();
                QByteArray reply(qMax<qint64>(size, 0), Qt::Uninitialized);
                if (socket.readDatagram(reply.data(), reply.size()) < 0)
                    break;
                if (reply == expected) {
                    std::printf("acknowledged: id %s after %d send%s\n", printableId(request->id).constData(),
                                attempt, attempt == 1 ? "" : "s");
                    return Acknowledged;
                }
            }
        }
    }
    fail(QStringLiteral("no acknowledgement from %1 port %2 after %3 send%4; is Corvane running?")
             .arg(host->toString())
             .arg(quint16(port))
             .arg(attempts)
             .arg(attempts == 1 ? "" : "s"));
    return NoAcknowledgement;
}
