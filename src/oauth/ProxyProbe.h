#pragma once

#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

namespace corvane {

// An HTTP proxy's answer to one CONNECT.
struct ProxyAnswer {
    int status = 0;       // of the proxy's status line; 0: it did not answer
    QString reason;       // its reason phrase, as the proxy sent it
    QString networkError; // without an answer: why (refused, not found, no answer in time)
};

// Asks an HTTP proxy once for the tunnel a failed token request asked for,
// to learn what Qt keeps to itself: Qt's reply says "Error communicating with
// HTTP proxy" alike for a refused login, a refused host and a proxy that
// closed, and never gives the proxy's status. Sends the proxy account with
// Basic authentication when the proxy has one; reads only the status line.
class ProxyProbe : public QObject {
    Q_OBJECT
public:
    ProxyProbe(const QNetworkProxy &proxy, const QString &host, quint16 port, std::chrono::milliseconds limit,
               QObject *parent = nullptr);

    void start();
    const ProxyAnswer &answer() const { return m_answer; }

signals:
    // From the event loop, once: the probe may be deleted then.
    void finished();

private:
    void onConnected();
    void onReadyRead();
    void finish(const QString &networkError);

    QNetworkProxy m_proxy;
    QByteArray m_target; // host:port, IPv6 in brackets
    QTcpSocket m_socket;
    QTimer m_limit;
    QByteArray m_received;
    ProxyAnswer m_answer;
    bool m_done = false;
};

} // namespace corvane
