#pragma once

#include "intake/WireFormat.h"
#include "storage/Result.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUdpSocket>

#include <memory>
#include <unordered_set>
#include <vector>

namespace corvane {

class CommandHandler;
class DatagramBatchIO;

// The UDP command port. Binds the IPv4 any-address exclusively, reads every
// pending datagram on each readyRead, hands the ones from this machine's own
// addresses to the handler and sends the acknowledgement to the ack port at the
// sender's address. Datagrams from other hosts are dropped without a word.
class CommandEndpoint : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultListenPort = wire::CommandPort;
    static constexpr quint16 DefaultAckPort = wire::AckPort;

    CommandEndpoint(CommandHandler &handler, quint16 listenPort = DefaultListenPort,
                    quint16 ackPort = DefaultAckPort, QObject *parent = nullptr);
    ~CommandEndpoint() override;

    // Binds the port; on failure returns false with the reason in `error`.
    Result start();

    quint16 listenPort() const { return m_listenPort; }
    quint16 ackPort() const { return m_ackPort; }

    // The kernel's receive buffer as read back after start(), in bytes.
    int receiveBufferSize() const { return m_receiveBufferSize; }

    // Datagrams dropped because they came from another host.
    quint64 foreignDatagrams() const { return m_foreignDatagrams; }

signals:
    // Emitted after each datagram from this machine has been handled (tests,
    // benchmarks).
    void datagramHandled();
    // Emitted for each datagram dropped because it came from another host.
    void foreignDatagramDropped();

private:
    void readPendingDatagrams();
    int drainQueue(int budget); // datagrams taken, at most budget
    void handleDatagram(const char *data, qsizetype size, quint32 senderIPv4);
    // Sends the replies that need no waiting, then syncs the queue once for all
    // held ones and sends those.
    void flushReplies();
    bool isLocalAddress(quint32 ipv4);
    void refreshLocalAddresses();

    CommandHandler &m_handler;
    quint16 m_listenPort;
    quint16 m_ackPort;
    QUdpSocket m_socket;
    std::unique_ptr<DatagramBatchIO> m_io; // exists once bound
    struct HeldReply {
        QByteArray ack;
        quint32 ipv4;
    };
    std::vector<HeldReply> m_held; // acknowledgements of queued messages, until synced
    std::unordered_set<quint32> m_localAddresses;
    QElapsedTimer m_sinceRefresh;
    bool m_reading = false;
    int m_receiveBufferSize = 0;
    quint64 m_foreignDatagrams = 0;
};

} // namespace corvane
