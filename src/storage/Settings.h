#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace corvane {

// One recipient list. Lists are numbered 1..8 and slots 1..16; index 0 of both
// tables exists so that the numbers read the same everywhere, and is never used.
struct RecipientList {
    static constexpr int FirstSlot = 1;
    static constexpr int LastSlot = 16;

    QString Name;
    std::array<QString, LastSlot + 1> Addresses;
};

struct RecipientListTable {
    static constexpr int FirstList = 1;
    static constexpr int LastList = 8;

    std::array<RecipientList, LastList + 1> lists;

    RecipientList &operator[](int n) { return lists.at(static_cast<std::size_t>(n)); }
    const RecipientList &operator[](int n) const { return lists.at(static_cast<std::size_t>(n)); }
};

// The sending account. Flags are plain bools in memory; the file keeps "1"/"0".
struct AccountSettingsRecord {
    QString SmtpServer;
    QString Pop3Server;
    QString SenderName;
    QString SenderEmail;
    QString UserName;
    QString UserPassword;
    bool UseMime = false;
    bool UseUUEncode = false;
    std::uint8_t Priority = 0; // 0 Normal, 1 High, 2 Low
    bool UseHtml = false;
    bool RequestReceipt = false;
    bool UseLogin = false;
    bool UsePopLogin = false;
    // Certificate authorities (PEM) trusted besides the system's store, for the
    // SMTP and POP3 servers and the token endpoint: plants often run their own.
    QString CaFile;
    // How long a message that met a transient failure is tried again, from its
    // first attempt; 0: never tried again.
    int RetryHours = 24;
    // At most this many messages a minute to the server; 0: no limit.
    int MaxPerMinute = 0;
    // Alarms for a recipient list that come within this many seconds of the
    // list's last send wait and go out together as one digest; 0: one e-mail
    // per alarm.
    int DigestSeconds = 0;
};

// OAuth 2.0 sign-in ([Email_OAuth]). With a Provider and Login=1 the account
// signs in with a token; User_Name is then the mailbox and User_Password is
// not used. Empty Provider: password sign-in.
struct OAuthSettingsRecord {
    QString Provider;            // "Microsoft", "Google" or "Custom"
    QString Tenant;              // Microsoft tenant id or domain
    QString ClientId;
    QString ClientSecret;
    QString CertificateFile;     // Microsoft certificate credential (PEM), with PrivateKeyFile
    QString PrivateKeyFile;
    QString ServiceAccountFile;  // Google service-account JSON key
    QString RefreshToken;        // from a one-time consent (Google or Custom)
    QString TokenUrl;            // empty: the provider's endpoint
    QString Scope;               // empty: the provider's scope
    QString Proxy;               // for the token endpoint: empty, "system" or http://[user:password@]host:port
};

// The settings the whole program works on. The application owns one instance and
// hands references to the queue, the dispatcher and the dialogs; nothing is cached
// elsewhere, so a change applied in a dialog is seen by the next message.
struct Settings {
    QString SettingsFilePath;
    RecipientListTable RecipientLists;
    AccountSettingsRecord AccountSettings;
    OAuthSettingsRecord OAuth;
};

// Removes leading and trailing space characters (code 32) only; tabs stay.
QString trimSpaces(const QString &text);

} // namespace corvane
