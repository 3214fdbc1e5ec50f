#include "oauth/OAuthSettings.h"

#include "oauth/OAuthTokenSource.h"
#include "storage/Settings.h"

namespace corvane {

OAuthConfig oauthConfigFrom(const Settings &settings, OAuthProvider provider)
{
    OAuthConfig config;
    config.provider = provider;
    config.settings.Provider = oauthProviderName(provider);
    for (const OAuthFieldInfo &field : oauthFields()) {
        const QString &value = settings.OAuth.*field.value;
        config.settings.*field.value = field.field == OAuthField::ClientSecret ? value : value.trimmed();
    }
    config.mailbox = settings.AccountSettings.UserName;
    config.caFile = settings.AccountSettings.CaFile;
    return config;
}

OAuthSignIn oauthSignInFrom(const Settings &settings, OAuthTokenSource *tokens)
{
    const QString name = settings.OAuth.Provider.trimmed();
    const std::optional<OAuthProvider> provider = oauthProviderFromName(name);
    if (!provider)
        return {QByteArray(), QStringLiteral("The OAuth provider \"%1\" in [Email_OAuth] is not %2: nothing was sent")
                                  .arg(name, oauthProviderNames())};
    if (*provider == OAuthProvider::None || !tokens)
        return {};
    return {tokens->signInFor(oauthConfigFrom(settings, *provider)), QString()};
}

} // namespace corvane
