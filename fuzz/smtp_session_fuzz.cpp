// libFuzzer target for the SMTP client: a server on loopback says whatever the
// input holds, and the session must still end every message exactly once, in
// submission order, without the password or token in any status line, and without
// raw control characters from the server in one; a probe never gets as far
// as DATA.
//
// Input layout: byte 0 is the set-up (bits 0-1: one to three messages, bit 2:
// sign in, bit 3: with a bearer token instead of the password, bit 4: keep the
// connection between messages, bit 5: two recipients each, bit 6: probes,
// MAIL and RCPT then RSET, as the account check sends); bytes 1-3 cut the
// rest into up to four pieces. The server writes the first piece on connect
// and each next one when the client has written something (or has been quiet
// for a moment), then closes. Every connection the session opens gets the same.
#include "FuzzInvariant.h"
#include "mail/SmtpSession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

using namespace corvane;
using corvane::fuzz::check;
using namespace std::chrono_literals;

namespace {

const QString User = QStringLiteral("plant@example.com");
const QString Password = QStringLiteral("Pump-3-S3cret");
const QString Token = QStringLiteral("ya29.token-Pump-3");

// The secret and the forms it takes in an AUTH exchange.
QStringList secretForms(const QString &secret)
{
    const QByteArray pass = secret.toUtf8();
    QStringList forms{secret, QString::fromLatin1(pass.toBase64()),
                      QString::fromLatin1(QByteArray('\0' + User.toUtf8() + '\0' + pass).toBase64())};
    for (int prefix = 1; prefix < 3; ++prefix) {
        const QByteArray encoded = (QByteArray(prefix, 'x') + pass).toBase64();
        forms << QString::fromLatin1(encoded.mid(4, (encoded.size() - 8) / 4 * 4));
    }
    return forms;
}

class Listener : public SmtpSessionListener {
public:
    Listener(QList<quint64> expected, const QString &secret)
        : m_expected(std::move(expected)), m_forms(secretForms(secret))
    {
    }
    int finished() const { return m_finished; }
    void sessionStatus(quint64, const QString &line) override
    {
        for (const QString &form : m_forms)
            check(!line.contains(form), "a status line holds the password");
        for (QChar c : line)
            check(c.unicode() >= 0x20 && c.unicode() != 0x7f, "a status line holds a control character");
    }
    void sessionProgress(quint64, int percent) override { check(percent >= 0 && percent <= 100, "progress range"); }
    void sessionFinished(quint64 id, const MailOutcome &outcome) override
    {
        check(m_finished < m_expected.size() && m_expected.at(m_finished) == id,
              "every message finishes once, in submission order");
        ++m_finished;
        sessionStatus(id, outcome.explanation);
        sessionStatus(id, outcome.reply);
        if (outcome.accepted())
            check(outcome.acceptedRecipients > 0, "accepted without an accepted recipient");
    }

private:
    QList<quint64> m_expected;
    QStringList m_forms;
    int m_finished = 0;
};

// The scripted side: pieces of the input, one per turn of the client.
class Server {
public:
    explicit Server(std::vector<QByteArray> pieces) : m_pieces(std::move(pieces))
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_scope, [this] { accept(); });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    const QByteArray &received() const { return m_received; }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(&m_scope);
            auto next = std::make_shared<std::size_t>(0);
            auto *quiet = new QTimer(socket);
            quiet->setSingleShot(true);
            auto writeNext = [this, socket, next, quiet] {
                if (*next >= m_pieces.size()) {
                    socket->disconnectFromHost();
                    return;
                }
                socket->write(m_pieces[(*next)++]);
                quiet->start(5);
            };
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, writeNext] {
                m_received += socket->readAll();
                writeNext();
            });
            QObject::connect(quiet, &QTimer::timeout, socket, writeNext);
            writeNext();
        }
    }

    std::vector<QByteArray> m_pieces;
    QByteArray m_received; // everything the client wrote, on every connection
    QObject m_scope; // the accepted sockets; declared after the pieces they read, gone before them
    QTcpServer m_server;
};

QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "smtp_session_fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    application();
    const std::uint8_t setup = data[0];
    const QByteArray script(reinterpret_cast<const char *>(data) + 4, static_cast<qsizetype>(size - 4));
    std::vector<qsizetype> cuts;
    for (int i = 1; i <= 3; ++i)
        cuts.push_back(script.size() * data[i] / 256);
    std::sort(cuts.begin(), cuts.end());
    std::vector<QByteArray> pieces;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        if (cut > from)
            pieces.push_back(script.mid(from, cut - from));
        from = std::max(from, cut);
    }
    pieces.push_back(script.mid(from));

    Server server(pieces);
    check(server.listen(), "listen on loopback");

    SmtpAccount account;
    account.endpoint = ServerEndpoint::parse(QStringLiteral("127.0.0.1:%1").arg(server.port()), MailProtocol::Smtp);
    account.heloName = QStringLiteral("client.test");
    account.login = (setup & 4) != 0;
    account.userName = User;
    // With a token there is no password, as the service and the check set it.
    if (setup & 8)
        account.bearerToken = Token.toUtf8();
    else
        account.password = Password;

    const int messages = std::max(1, setup & 3);
    QList<quint64> ids;
    for (int i = 1; i <= messages; ++i)
        ids.append(quint64(i));
    Listener listener(ids, (setup & 8) ? Token : Password);
    MailTimeouts timeouts;
    timeouts.connect = 200ms;
    timeouts.serverReply = 200ms;
    timeouts.wholeAttempt = 1000ms;
    timeouts.reusedFirstReply = 100ms;
    timeouts.idleConnectionAge = 50ms;
    timeouts.politeClose = 50ms;
    {
        SmtpSession session(timeouts, (setup & 16) != 0, listener);
        for (quint64 id : ids) {
            SmtpMessage message;
            message.id = id;
            message.sender = QStringLiteral("plant@example.com");
            message.recipients = {QStringLiteral("ops@example.com")};
            if (setup & 32)
                message.recipients.append(QStringLiteral("boss@example.org"));
            message.probeOnly = (setup & 64) != 0;
            if (!message.probeOnly)
                message.data = "Subject: Pump " + QByteArray::number(id) + "\r\n\r\n.dot line\r\nPressure low.\r\n";
            session.submit(account, message);
        }
        // Every limit is well inside this: a message still open here never ends.
        QDeadlineTimer deadline(10s);
        while (listener.finished() < messages && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        check(listener.finished() == messages, "every message finishes within its limits");
    }
    if (setup & 64)
        check(!server.received().contains("DATA\r\n") && !server.received().contains("BDAT "), "a probe sent DATA");
    // Let the server's side see the close before its sockets go.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return 0;
}
