#include "oauth/ProxyProbe.h"

namespace corvane {

namespace {

// A status line is a few dozen bytes; a proxy that sends this much without one is not answering CONNECT.
constexpr qsizetype MaxStatusLine = 4096;

} // namespace

ProxyProbe::ProxyProbe(const QNetworkProxy &proxy, const QString &host, quint16 port, std::chrono::milliseconds limit,
                       QObject *parent)
    : QObject(parent)
    , m_proxy(proxy)
    , m_target((host.contains(QLatin1Char(':')) ? '[' + host.toUtf8() + ']' : host.toUtf8()) + ':'
               + QByteArray::number(port))
{
    m_socket.setProxy(QNetworkProxy::NoProxy); // the proxy itself is reached directly
    m_limit.setSingleShot(true);
    m_limit.setInterval(limit);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("no answer within %1 seconds").arg(double(m_limit.interval()) / 1000.0));
    });
    connect(&m_socket, &QTcpSocket::connected, this, &ProxyProbe::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &ProxyProbe::onReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { finish(m_socket.errorString()); });
}

void ProxyProbe::start()
{
    m_limit.start();
    m_socket.connectToHost(m_proxy.hostName(), m_proxy.port());
}

void ProxyProbe::onConnected()
{
    QByteArray request = "CONNECT " + m_target + " HTTP/1.1\r\nHost: " + m_target + "\r\n";
    if (!m_proxy.user().isEmpty()) {
        QByteArray account = m_proxy.user().toUtf8() + ':' + m_proxy.password().toUtf8();
        request += "Proxy-Authorization: Basic " + account.toBase64() + "\r\n";
        account.fill('\0');
    }
    m_socket.write(request + "\r\n");
    request.fill('\0');
}

void ProxyProbe::onReadyRead()
{
    m_received += m_socket.read(MaxStatusLine);
    const qsizetype end = m_received.indexOf('\n');
    if (end < 0) {
        if (m_received.size() >= MaxStatusLine)
            finish(QStringLiteral("the proxy did not answer in HTTP"));
        return;
    }
    // "HTTP/1.1 407 Proxy Authentication Required"
    const QList<QByteArray> words = m_received.left(end).trimmed().split(' ');
    bool number = false;
    const int status = words.value(1).toInt(&number);
    if (!words.value(0).startsWith("HTTP/") || !number || status < 100 || status > 999)
        return finish(QStringLiteral("the proxy did not answer in HTTP"));
    m_answer.status = status;
    m_answer.reason = QString::fromLatin1(words.mid(2).join(' '));
    finish(QString());
}

void ProxyProbe::finish(const QString &networkError)
{
    if (m_done)
        return;
    m_done = true;
    m_answer.networkError = networkError;
    m_limit.stop();
    m_socket.abort();
    // Not from inside the socket's own signal: the receiver may delete the probe.
    QMetaObject::invokeMethod(this, &ProxyProbe::finished, Qt::QueuedConnection);
}

} // namespace corvane
