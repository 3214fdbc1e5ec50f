#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

namespace corvane::test {

QString supportDir()
{
    return QStringLiteral(CORVANE_TEST_SUPPORT_DIR);
}

QString binDir()
{
    const QByteArray fromEnv = qgetenv("CORVANE_BIN_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(".") : QString::fromLocal8Bit(fromEnv);
}

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return 0;
    return socket.localPort();
}

bool waitForTcpPort(quint16 port, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200)) {
            socket.disconnectFromHost();
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

SilentServer::SilentServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            ++m_accepted;
            ++m_open;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { m_received += socket->readAll(); });
            connect(socket, &QTcpSocket::disconnected, this, [this] { --m_open; });
        }
    });
}

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::start(const QString &program, const QStringList &arguments,
                        const QString &readyMarker, quint16 port, std::chrono::milliseconds timeout)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    if (readyMarker.isEmpty())
        return waitForTcpPort(port, timeout);

    QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning)
            break;
        m_process.waitForReadyRead(100);
        m_output += m_process.readAll();
        if (m_output.contains(readyMarker.toUtf8()))
            return true;
    }
    m_output += m_process.readAll();
    return false;
}

void PeerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    m_output += m_process.readAll();
}

QList<QByteArray> readFiles(const QString &folder, const QString &suffix)
{
    QList<QByteArray> contents;
    QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("*") + suffix}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            contents.append(file.readAll());
    }
    return contents;
}

} // namespace corvane::test
