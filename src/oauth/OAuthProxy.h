#pragma once

#include "oauth/ProxyProbe.h"

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

namespace corvane {

// The way to the token endpoint, from Proxy in [Email_OAuth]: empty, straight
// there whatever the environment says; "system", the platform's own settings
// (the environment on Linux, WinHTTP's and the browser's on Windows, as Qt
// reads them); or an HTTP proxy, http://[user:password@]host:port, which the
// request tunnels through with CONNECT. Only token requests use it: the mail
// servers are always reached directly.
class OAuthProxy {
public:
    enum class Mode { Direct, System, Http };

    static OAuthProxy fromSetting(const QString &setting);

    Mode mode() const { return m_mode; }
    bool ok() const { return m_error.isEmpty(); }
    // Why the setting cannot be used; never repeats the setting, which may hold the password.
    const QString &error() const { return m_error; }
    // A secret like the client's: masked in every text shown.
    QString password() const { return m_proxy.password(); }

    // What a request to `endpoint` goes through; NoProxy: straight there.
    QNetworkProxy forEndpoint(const QUrl &endpoint) const;

    // "the proxy host:port" (with the user's name, never the password); empty for none.
    static QString describe(const QNetworkProxy &proxy);
    // What the proxy's answer to CONNECT (ProxyProbe) says of a failed token
    // request: a refused tunnel (407, 403, ...) or a proxy that cannot be
    // reached, with advice. `answer.reason` must be fit to be shown.
    static QString failure(const QNetworkProxy &proxy, const ProxyAnswer &answer, const QString &host);

    // The setting split for the OAuth dialog, which shows the password in a
    // box of its own, and joined again; a password typed into the address
    // stays unless the password box holds one.
    static QString addressOf(const QString &setting);
    static QString passwordOf(const QString &setting);
    static QString joined(const QString &address, const QString &password);

private:
    Mode m_mode = Mode::Direct;
    QNetworkProxy m_proxy{QNetworkProxy::NoProxy};
    QString m_error;
};

} // namespace corvane
