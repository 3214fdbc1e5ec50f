#pragma once

#include "mail/SmtpReply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>

#include <chrono>

namespace corvane {

// A step-by-step SMTP dialogue for the account check: one command, one reply,
// each bounded by a timeout, so that a check can stop after any step and say
// where a session breaks. Never used to send a message.
class SmtpDialogue {
public:
    struct Timeouts {
        std::chrono::milliseconds connect{30'000};
        std::chrono::milliseconds reply{60'000};
        QDeadlineTimer whole; // the end of the whole dialogue
    };

    SmtpDialogue(Timeouts timeouts, QList<QSslCertificate> caCertificates);

    bool connectTo(const QHostAddress &address, quint16 port, QString *failure);
    // The TLS handshake, at once for implicit TLS or after "220" to STARTTLS.
    // peerName is the host name the certificate must carry.
    bool startTls(const QString &peerName, QString *failure);

    SmtpReply readReply();
    // Sends one command line (CR LF added) and reads its reply. Nothing is
    // kept of the line: it may carry the login.
    SmtpReply command(const QByteArray &line);

    void close();
    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

    bool isEncrypted() const { return m_socket.isEncrypted(); }
    QString protocolName() const;
    QString cipherName() const;
    QSslCertificate peerCertificate() const { return m_socket.peerCertificate(); }
    QList<QSslError> handshakeErrors() const { return m_errors; }
    // The handshake went on despite any verification errors; they are here.
    bool peerVerified() const { return m_socket.isEncrypted() && m_errors.isEmpty(); }

private:
    bool waitEncrypted(std::chrono::milliseconds limit, QString *failure);
    std::chrono::milliseconds limit(std::chrono::milliseconds step) const;
    void prepareTls(const QString &peerName);

    Timeouts m_timeouts;
    QList<QSslCertificate> m_caCertificates;
    QSslSocket m_socket;
    QByteArray m_buffer;
    QList<QSslError> m_errors;
};

} // namespace corvane
