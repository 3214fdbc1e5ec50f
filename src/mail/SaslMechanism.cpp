#include "mail/SaslMechanism.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

namespace corvane {

namespace {

class Plain final : public SaslMechanism {
public:
    explicit Plain(SaslCredentials c) : m_c(std::move(c)) {}
    QByteArray name() const override { return "PLAIN"; }
    std::optional<QByteArray> initialResponse() const override
    {
        return QByteArray(1, '\0') + m_c.userName.toUtf8() + '\0' + m_c.password.toUtf8();
    }
    QByteArray respond(const QByteArray &) override { return *initialResponse(); }

private:
    SaslCredentials m_c;
};

class Login final : public SaslMechanism {
public:
    explicit Login(SaslCredentials c) : m_c(std::move(c)) {}
    QByteArray name() const override { return "LOGIN"; }
    std::optional<QByteArray> initialResponse() const override { return std::nullopt; }
    // The first challenge asks for the user name, every later one for the
    // password; servers word them differently, so the order is what counts.
    QByteArray respond(const QByteArray &) override
    {
        return m_step++ == 0 ? m_c.userName.toUtf8() : m_c.password.toUtf8();
    }

private:
    SaslCredentials m_c;
    int m_step = 0;
};

class CramMd5 final : public SaslMechanism {
public:
    explicit CramMd5(SaslCredentials c) : m_c(std::move(c)) {}
    QByteArray name() const override { return "CRAM-MD5"; }
    std::optional<QByteArray> initialResponse() const override { return std::nullopt; }
    QByteArray respond(const QByteArray &challenge) override
    {
        const QByteArray digest =
            QMessageAuthenticationCode::hash(challenge, m_c.password.toUtf8(), QCryptographicHash::Md5).toHex();
        return m_c.userName.toUtf8() + ' ' + digest;
    }

private:
    SaslCredentials m_c;
};

// XOAUTH2 and OAUTHBEARER (RFC 7628). On a refused token the server sends an
// error challenge (JSON); the answer that ends the exchange differs.
class Bearer final : public SaslMechanism {
public:
    Bearer(SaslCredentials c, bool oauthBearer) : m_c(std::move(c)), m_oauthBearer(oauthBearer) {}
    QByteArray name() const override { return m_oauthBearer ? "OAUTHBEARER" : "XOAUTH2"; }
    std::optional<QByteArray> initialResponse() const override
    {
        QByteArray user = m_c.userName.toUtf8();
        if (m_oauthBearer)
            return "n,a=" + user.replace('=', "=3D").replace(',', "=2C") + ",\x01" "auth=Bearer " + m_c.bearerToken
                + "\x01\x01";
        return "user=" + user + "\x01" "auth=Bearer " + m_c.bearerToken + "\x01\x01";
    }
    QByteArray respond(const QByteArray &) override { return m_oauthBearer ? QByteArray("\x01") : QByteArray(); }

private:
    SaslCredentials m_c;
    bool m_oauthBearer;
};

} // namespace

std::unique_ptr<SaslMechanism> SaslMechanism::choose(const QStringList &offered, const SaslCredentials &credentials)
{
    auto has = [&](const char *name) { return offered.contains(QLatin1String(name)); };
    if (!credentials.bearerToken.isEmpty()) {
        if (has("XOAUTH2"))
            return std::make_unique<Bearer>(credentials, false);
        if (has("OAUTHBEARER"))
            return std::make_unique<Bearer>(credentials, true);
        return nullptr;
    }
    if (has("CRAM-MD5"))
        return std::make_unique<CramMd5>(credentials);
    if (has("PLAIN"))
        return std::make_unique<Plain>(credentials);
    if (has("LOGIN"))
        return std::make_unique<Login>(credentials);
    return nullptr;
}

} // namespace corvane
