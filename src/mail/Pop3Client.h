#pragma once

#include "mail/CredentialMask.h"
#include "mail/HostLookup.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QTimer>

namespace corvane {

struct Pop3Result {
    bool loggedIn = false;
    QString reason; // why not, in plain words
};

// POP-before-SMTP over QSslSocket, driven by the event loop of the thread
// that owns it: some servers accept mail only from an address that logged in
// to their POP3 server a moment before. Greeting, CAPA, STLS when offered or
// required (then CAPA again), USER, PASS, NOOP, QUIT.
class Pop3Client : public QObject {
    Q_OBJECT
public:
    // What to do once the server has listed its capabilities.
    enum class Next {
        StartTls,
        Login,         // encrypted already
        LoginInClear,  // no STLS, but the server is local or private
        NoTlsOffered,  // pop3:// needs STLS and the server has none
        ClearToPublic, // the password would cross a public network unencrypted
    };
    static Next afterCapabilities(TlsMode mode, bool encrypted, bool stlsOffered, const QHostAddress &peer);

    explicit Pop3Client(MailTimeouts timeouts, QObject *parent = nullptr);
    // A login still running ends without finished().
    ~Pop3Client() override;

    // Returns at once; finished() follows exactly once, never from inside
    // start(). A login still running is cancelled first. caCertificates are
    // trusted besides the system's store.
    void start(const QString &server, const QString &userName, const QString &password,
               const QList<QSslCertificate> &caCertificates);
    // Ends at once with the reason "cancelled".
    void cancel();
    bool isRunning() const { return m_running; }

signals:
    void status(const QString &line);
    void finished(const corvane::Pop3Result &result);

private:
    enum class Phase { Connecting, Greeting, Capa, Stls, Handshake, User, Pass, Noop, Quit };

    void onConnected();
    void onEncrypted();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onTimeout();

    void handleLine(const QByteArray &line);
    void afterCapa();
    void send(const QByteArray &command, Phase next);
    void arm(std::chrono::milliseconds limit);
    void startTls();
    void fail(const QString &reason);
    void finish(const Pop3Result &result);
    QString serverText(const QByteArray &text) const;

    MailTimeouts m_timeouts;
    QSslSocket m_socket;
    HostLookup m_lookup;
    QTimer m_deadline;

    bool m_running = false;
    quint64 m_generation = 0; // tells a posted early end from a later login
    Phase m_phase = Phase::Connecting;
    ServerEndpoint m_endpoint;
    QByteArray m_user;
    QByteArray m_password;
    CredentialMask m_mask;
    QList<QSslCertificate> m_caCertificates;
    QList<QSslError> m_tlsErrors;
    QByteArray m_in;
    bool m_tcpConnected = false;
    bool m_inCapaList = false;
    bool m_stlsOffered = false;
    bool m_loggedIn = false;
};

} // namespace corvane
