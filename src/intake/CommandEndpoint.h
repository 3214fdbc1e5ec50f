#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUdpSocket>

namespace corvane {

class CommandHandler;

// The UDP command port. Binds the IPv4 any-address exclusively, reads every
// pending datagram on each readyRead, hands the ones from this machine's own
// addresses to the handler and sends the acknowledgement to the ack port at the
// sender's address. Datagrams from other hosts are dropped without a word.
class CommandEndpoint : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultListenPort = 1095;
    static constexpr quint16 DefaultAckPort = 1096;

    CommandEndpoint(CommandHandler &handler, quint16 listenPort = DefaultListenPort,
                    quint16 ackPort = DefaultAckPort, QObject *parent = nullptr);

    // Binds the port; on failure returns false with the reason in `error`.
    bool start(QString *error);

    quint16 listenPort() const { return m_listenPort; }
    quint16 ackPort() const { return m_ackPort; }

signals:
    // Emitted after each datagram from this machine has been handled (tests,
    // benchmarks).
    void datagramHandled();

private:
    void readPendingDatagrams();
    bool isLocalAddress(const QHostAddress &address) const;

    CommandHandler &m_handler;
    quint16 m_listenPort;
    quint16 m_ackPort;
    QUdpSocket m_socket;
};

} // namespace corvane
