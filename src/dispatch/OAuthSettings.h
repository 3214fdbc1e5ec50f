#pragma once

#include "mail/OAuthConfig.h"

namespace corvane {

struct OAuthSettingsRecord;

// [Email_OAuth] as the mail library takes it, read the one way the service
// and the account check both use. The mailbox and the trusted authorities
// come from elsewhere (User_Name, CA_File) and are left empty.
OAuthConfig oauthConfigFrom(const OAuthSettingsRecord &settings, OAuthProvider provider);

} // namespace corvane
