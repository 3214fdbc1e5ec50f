#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <chrono>

namespace corvane::test {

// Debian's interpreter: the first python3 on PATH may lack Debian's modules.
inline const char *const SystemPython = "/usr/bin/python3";

QString supportDir(); // tests/support in the source tree
QString binDir();     // build/bin

// A port nobody listens on right now (bound to 127.0.0.1 and released).
quint16 freeTcpPort();
quint16 freeUdpPort();

// A peer program that lives as long as the object: started in the constructor's
// caller with start(), killed (whole process) in the destructor.
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the program and waits until a line of its standard output contains
    // `readyMarker` (empty: until `port` on 127.0.0.1 accepts TCP connections).
    bool start(const QString &program, const QStringList &arguments, const QString &readyMarker,
               quint16 port = 0, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    void stop();

    QProcess &process() { return m_process; }
    QByteArray output() const { return m_output; } // everything read so far (stdout+stderr)

private:
    QProcess m_process;
    QByteArray m_output;
};

// A mail server that accepts connections and never says a word: keeps a send
// waiting until its timeout or a cancel.
class SilentServer : public QObject {
public:
    SilentServer();
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    int accepted() const { return m_accepted; }       // connections taken so far
    int openConnections() const { return m_open; }    // not yet closed by the client
    QByteArray received() const { return m_received; } // everything clients sent

private:
    QTcpServer m_server;
    int m_accepted = 0;
    int m_open = 0;
    QByteArray m_received;
};

// Waits (processing events) until `port` on 127.0.0.1 accepts a TCP connection.
bool waitForTcpPort(quint16 port, std::chrono::milliseconds timeout);

// Reads every file of a folder whose name ends in `suffix`, sorted by name.
QList<QByteArray> readFiles(const QString &folder, const QString &suffix);

} // namespace corvane::test
