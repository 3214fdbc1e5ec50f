#include "check/SmtpDialogue.h"

#include <QSslCipher>
#include <QSslConfiguration>

#include <algorithm>

namespace corvane {

namespace {

QString socketFailure(const QSslSocket &socket, const char *doing)
{
    if (socket.error() == QAbstractSocket::SocketTimeoutError)
        return QStringLiteral("no answer in time while %1").arg(QLatin1String(doing));
    return QStringLiteral("%1 while %2").arg(socket.errorString(), QLatin1String(doing));
}

} // namespace

SmtpDialogue::SmtpDialogue(Timeouts timeouts, QList<QSslCertificate> caCertificates)
    : m_timeouts(timeouts), m_caCertificates(std::move(caCertificates))
{
    // Record every verification problem, then go on: the check reports them,
    // and the caller decides whether the session may continue.
    QObject::connect(&m_socket, &QSslSocket::sslErrors, &m_socket, [this](const QList<QSslError> &errors) {
        m_errors = errors;
        m_socket.ignoreSslErrors();
    });
}

std::chrono::milliseconds SmtpDialogue::limit(std::chrono::milliseconds step) const
{
    const auto left = std::chrono::milliseconds(m_timeouts.whole.remainingTime());
    if (m_timeouts.whole.isForever())
        return step;
    return std::max(std::chrono::milliseconds(1), std::min(step, left));
}

void SmtpDialogue::prepareTls(const QString &peerName)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!m_caCertificates.isEmpty())
        config.setCaCertificates(m_caCertificates);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_socket.setSslConfiguration(config);
    m_socket.setPeerVerifyName(peerName);
    m_errors.clear();
}

bool SmtpDialogue::connectTo(const QHostAddress &address, quint16 port, QString *failure)
{
    m_buffer.clear();
    m_socket.connectToHost(address, port);
    if (m_socket.waitForConnected(static_cast<int>(limit(m_timeouts.connect).count())))
        return true;
    *failure = socketFailure(m_socket, "connecting");
    m_socket.abort();
    return false;
}

bool SmtpDialogue::startTls(const QString &peerName, QString *failure)
{
    prepareTls(peerName);
    m_socket.startClientEncryption();
    return waitEncrypted(m_timeouts.reply, failure);
}

bool SmtpDialogue::waitEncrypted(std::chrono::milliseconds step, QString *failure)
{
    if (m_socket.waitForEncrypted(static_cast<int>(limit(step).count())))
        return true;
    *failure = socketFailure(m_socket, "setting up TLS");
    m_socket.abort();
    return false;
}

SmtpReply SmtpDialogue::readReply()
{
    SmtpReply reply;
    while (!SmtpReply::take(m_buffer, &reply)) {
        if (m_socket.state() != QAbstractSocket::ConnectedState && m_socket.bytesAvailable() == 0) {
            reply.failure = QStringLiteral("the server closed the connection");
            return reply;
        }
        if (!m_socket.waitForReadyRead(static_cast<int>(limit(m_timeouts.reply).count()))
            && m_socket.bytesAvailable() == 0) {
            reply.failure = m_socket.error() == QAbstractSocket::SocketTimeoutError
                ? QStringLiteral("no answer from the server in time")
                : QStringLiteral("the server closed the connection");
            return reply;
        }
        m_buffer += m_socket.readAll();
    }
    return reply;
}

SmtpReply SmtpDialogue::command(const QByteArray &line)
{
    m_socket.write(line + "\r\n");
    // The reply wait below also writes; this only reports a dead connection early.
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        SmtpReply reply;
        reply.failure = QStringLiteral("the connection is closed");
        return reply;
    }
    return readReply();
}

void SmtpDialogue::close()
{
    m_socket.abort();
}

QString SmtpDialogue::protocolName() const
{
    switch (m_socket.sessionProtocol()) {
    case QSsl::TlsV1_2: return QStringLiteral("TLS 1.2");
    case QSsl::TlsV1_3: return QStringLiteral("TLS 1.3");
    default: return QStringLiteral("older than TLS 1.2");
    }
}

QString SmtpDialogue::cipherName() const
{
    return m_socket.sessionCipher().name();
}

} // namespace corvane
