#include "dispatch/OAuthSettings.h"

#include "storage/Settings.h"

namespace corvane {

OAuthConfig oauthConfigFrom(const OAuthSettingsRecord &settings, OAuthProvider provider)
{
    OAuthConfig config;
    config.provider = provider;
    config.tenant = settings.Tenant.trimmed();
    config.clientId = settings.ClientId.trimmed();
    config.clientSecret = settings.ClientSecret; // a secret may end in a space
    config.certificateFile = settings.CertificateFile.trimmed();
    config.privateKeyFile = settings.PrivateKeyFile.trimmed();
    config.serviceAccountFile = settings.ServiceAccountFile.trimmed();
    config.refreshToken = settings.RefreshToken.trimmed();
    config.tokenUrl = settings.TokenUrl.trimmed();
    config.scope = settings.Scope.trimmed();
    return config;
}

} // namespace corvane
