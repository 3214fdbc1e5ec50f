#pragma once

#include "storage/Settings.h"

#include <QString>

#include <optional>
#include <vector>

namespace corvane {

enum class OAuthProvider { None, Microsoft, Google, Custom };

// The values of [Email_OAuth] below Provider, in the order of the record.
enum class OAuthField { Tenant, ClientId, ClientSecret, CertificateFile, PrivateKeyFile, ServiceAccountFile,
                        RefreshToken, TokenUrl, Scope, Proxy };

struct OAuthFieldInfo {
    OAuthField field;
    QString OAuthSettingsRecord::*value;
    const char *name;    // the dialog's box is "txt" + name, its label "lbl" + name
    const char *caption; // the dialog's label
    bool secret;         // a password field in the dialog, masked in every text shown (Proxy: its
                         // password only, in a box of its own: OAuthProxy)
};

// The ways to a token. A provider tries its grants in its order and takes the
// first whose credential is set.
enum class OAuthGrantKind {
    Certificate,    // client credentials with a PS256 client assertion (Certificate_File, Private_Key_File)
    ServiceAccount, // Google's JWT-bearer grant with the service account's key (Service_Account_File)
    RefreshToken,   // refresh_token, with Client_Secret if set
    ClientSecret,   // client credentials with Client_Secret
};

// The fields that hold a grant's credential: the grant is used when any is set.
std::vector<OAuthField> oauthGrantCredentials(OAuthGrantKind kind);

struct OAuthFieldUse {
    OAuthField field;
    const char *hint; // grey text in the empty box: what may stand in for it, or that it may stay empty
};

// Everything the program knows of a provider, in one place: the grant
// builder, the OAuth dialog and the account check's Token stage read it.
struct OAuthProviderInfo {
    OAuthProvider provider;
    const char *name;                  // as Provider in [Email_OAuth] holds it (any letter case)
    std::vector<OAuthFieldUse> fields; // the dialog's rows, top to bottom
    const char *tokenUrl;              // the endpoint, "%1" for the tenant; empty: Token_Url names it
    const char *scope;                 // empty: none unless Scope asks for one
    std::vector<OAuthGrantKind> grants;
    const char *noCredential;          // what to fill in when none of the grants' credentials is set
    const char *expectedRole;          // the application permission its tokens carry in "roles"; empty: none known

    bool needsTenant() const;
};

const std::vector<OAuthFieldInfo> &oauthFields();
const OAuthFieldInfo &oauthField(OAuthField field);
// Microsoft, Google, Custom.
const std::vector<OAuthProviderInfo> &oauthProviders();
// nullptr for None.
const OAuthProviderInfo *oauthProviderInfo(OAuthProvider provider);

// A provider's name in any letter case, spaces around it ignored; empty: None;
// anything else: nullopt.
std::optional<OAuthProvider> oauthProviderFromName(const QString &name);
QString oauthProviderName(OAuthProvider provider);
// "Microsoft, Google or Custom", for advice.
QString oauthProviderNames();

// The provider's own endpoint and scope; empty for Custom, which names its own.
QString defaultOAuthTokenUrl(OAuthProvider provider, const QString &tenant);
QString defaultOAuthScope(OAuthProvider provider);

} // namespace corvane
