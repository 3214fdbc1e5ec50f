#pragma once

#include "oauth/OAuthConfig.h"

#include <QByteArray>
#include <QString>

namespace corvane {

class OAuthTokenSource;
struct Settings;

// The one step from the settings to a config, for the dispatcher and the
// account check alike (LoadAllSettings has read [Email_OAuth] into the
// record): the values trimmed, Client_Secret as it is (a secret may end in a
// space), the account's User_Name as the mailbox and its CA_File.
OAuthConfig oauthConfigFrom(const Settings &settings, OAuthProvider provider);

// What a message's properties carry for the sign-in the settings ask for now.
struct OAuthSignIn {
    QByteArray name; // the token source's name for the config; empty: the password
    QString problem; // set: Provider names no provider, so nothing may be sent
};
// An unknown provider is an error, never a reason to sign in with the
// password. Without a token source (`tokens` null) there is no OAuth sign-in.
OAuthSignIn oauthSignInFrom(const Settings &settings, OAuthTokenSource *tokens);

} // namespace corvane
