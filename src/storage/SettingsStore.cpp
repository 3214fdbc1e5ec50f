#include "storage/SettingsStore.h"

#include "storage/IniFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace corvane {

namespace {

const QString kAccountSection = QStringLiteral("Email_Settings");
const QString kOAuthSection = QStringLiteral("Email_OAuth");

struct OAuthKey {
    const char *name;
    QString OAuthSettingsRecord::*field;
};
const OAuthKey kOAuthKeys[] = {
    {"Provider", &OAuthSettingsRecord::Provider},
    {"Tenant", &OAuthSettingsRecord::Tenant},
    {"Client_Id", &OAuthSettingsRecord::ClientId},
    {"Client_Secret", &OAuthSettingsRecord::ClientSecret},
    {"Certificate_File", &OAuthSettingsRecord::CertificateFile},
    {"Private_Key_File", &OAuthSettingsRecord::PrivateKeyFile},
    {"Service_Account_File", &OAuthSettingsRecord::ServiceAccountFile},
    {"Refresh_Token", &OAuthSettingsRecord::RefreshToken},
    {"Token_Url", &OAuthSettingsRecord::TokenUrl},
    {"Scope", &OAuthSettingsRecord::Scope},
    {"Proxy", &OAuthSettingsRecord::Proxy},
};

QString listSection(int n)
{
    return QStringLiteral("Email_List_") + QString::number(n);
}

QString addressKey(int k)
{
    return QStringLiteral("Address_") + QString::number(k);
}

bool isDigitOf(char c, int base)
{
    if (base == 16)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return c >= '0' && c < '0' + base;
}

int digitValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The decimal point is always '.', whatever locale the application set.
// `number` is a sign, digits with at most one point, and an exponent: what
// strtod takes, with its answers past the range of a double (the infinity of
// the sign when too large, zero when too small).
double parseCDouble(const std::string &number)
{
    const char *begin = number.data();
    const char *const end = begin + number.size();
    const bool negative = *begin == '-';
    if (*begin == '+' || *begin == '-')
        ++begin;
    double value = 0.0;
    if (std::from_chars(begin, end, value).ec == std::errc::result_out_of_range) {
        // Where the first significant digit stands against the point, plus the exponent.
        const char *exponent = std::find(begin, end, 'e');
        const char *point = std::find(begin, exponent, '.');
        const char *first = std::find_if(begin, exponent, [](char c) { return c >= '1' && c <= '9'; });
        long long magnitude = first < point ? point - first : -(first - point);
        if (exponent != end)
            magnitude += std::clamp(std::strtoll(exponent + 1, nullptr, 10), -1000000000LL, 1000000000LL);
        value = magnitude > 0 ? HUGE_VAL : 0.0;
    }
    return negative ? -value : value;
}

// Half goes to the even neighbour; no dependence on the floating-point mode.
double roundHalfEven(double x)
{
    double whole = std::floor(x);
    const double fraction = x - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return whole;
}

bool flagFrom(const QString &stored)
{
    return LeadingNumber(trimSpaces(stored)) == 1.0;
}

// The mail component knows 0, 1 and 2, and the byte holds 0..255; anything the
// byte cannot hold (a hand-edited -1, 300, 1e9, 1e999) loads as Normal instead of
// stopping the program at every start.
std::uint8_t priorityFrom(const QString &stored)
{
    const double number = LeadingNumber(stored);
    if (!std::isfinite(number))
        return 0;
    const double rounded = roundHalfEven(number);
    return rounded >= 0.0 && rounded <= 255.0 ? static_cast<std::uint8_t>(rounded) : 0;
}

// A whole number of zero or more, as a hand-edited file may hold it
// ("12 ", "+3"); anything else keeps the default.
int countFrom(const QString &stored, int fallback)
{
    bool ok = false;
    const int value = stored.trimmed().toInt(&ok);
    return ok && value >= 0 ? value : fallback;
}

QString flagText(bool flag)
{
    return flag ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

double LeadingNumber(const QString &text)
{
    std::string s;
    s.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u == ' ' || u == '\t' || u == '\n')
            continue;
        s.push_back(u < 0x80 ? static_cast<char>(u) : '\x01'); // nothing non-ASCII continues a number
    }
    std::size_t i = 0;
    const auto peek = [&](std::size_t at) { return at < s.size() ? s[at] : '\0'; };

    if (peek(0) == '&') {
        const char radix = static_cast<char>(peek(1) | 0x20);
        const int base = radix == 'h' ? 16 : radix == 'o' ? 8 : 0;
        if (base == 0)
            return 0.0;
        double value = 0.0;
        for (i = 2; isDigitOf(peek(i), base); ++i)
            value = value * base + digitValue(s[i]);
        return value;
    }

    std::string number;
    if (peek(i) == '+' || peek(i) == '-')
        number.push_back(s[i++]);
    bool anyDigit = false;
    bool point = false;
    for (;; ++i) {
        const char c = peek(i);
        if (c >= '0' && c <= '9') {
            anyDigit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number.push_back(c);
    }
    if (!anyDigit)
        return 0.0;
    // An exponent counts only when digits follow the letter (and its sign).
    if (const char e = static_cast<char>(peek(i) | 0x20); e == 'e' || e == 'd') {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (peek(j) == '+' || peek(j) == '-')
            exponent.push_back(s[j++]);
        if (isDigitOf(peek(j), 10)) {
            while (isDigitOf(peek(j), 10))
                exponent.push_back(s[j++]);
            number += exponent;
        }
    }
    const double value = parseCDouble(number);
    return value == 0.0 ? 0.0 : value; // no negative zero
}

Result LoadAllSettings(Settings &settings)
{
    // One read of the file; a file that is missing or unreadable gives defaults.
    IniFile ini;
    Result loaded = ini.load(settings.SettingsFilePath);
    const auto text = [&ini](const QString &section, const QString &key, const QString &fallback) {
        return trimSpaces(ini.readSetting(section, key, fallback));
    };
    const auto flag = [&ini](const QString &key, const QString &fallback) {
        return flagFrom(ini.readSetting(kAccountSection, key, fallback));
    };

    RecipientListTable &lists = settings.RecipientLists;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        lists[n].Name = text(listSection(n), QStringLiteral("Name"), QString());
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k)
            lists[n].Addresses[static_cast<std::size_t>(k)] = text(listSection(n), addressKey(k), QString());

    AccountSettingsRecord &a = settings.AccountSettings;
    a.SmtpServer = text(kAccountSection, QStringLiteral("SMPT_Server"), QString());
    a.Pop3Server = text(kAccountSection, QStringLiteral("POP3_Server"), QString());
    a.SenderName = text(kAccountSection, QStringLiteral("Sender_Name"), QStringLiteral("Halvery ALARM"));
    a.SenderEmail = text(kAccountSection, QStringLiteral("Sender_Email"), QString());
    a.UserName = text(kAccountSection, QStringLiteral("User_Name"), QString());
    a.UserPassword = text(kAccountSection, QStringLiteral("User_Password"), QString());
    a.UseMime = flag(QStringLiteral("MIME"), QStringLiteral("1"));
    a.UseUUEncode = flag(QStringLiteral("UUEncode"), QStringLiteral("0"));
    a.Priority = priorityFrom(ini.readSetting(kAccountSection, QStringLiteral("Priority"), QStringLiteral("0")));
    a.UseHtml = flag(QStringLiteral("HTML"), QStringLiteral("0"));
    a.RequestReceipt = flag(QStringLiteral("Receipt"), QStringLiteral("0"));
    a.UseLogin = flag(QStringLiteral("Login"), QStringLiteral("0"));
    a.UsePopLogin = flag(QStringLiteral("POP_Login"), QStringLiteral("0"));
    a.CaFile = text(kAccountSection, QStringLiteral("CA_File"), QString());
    a.RetryHours = countFrom(ini.readSetting(kAccountSection, QStringLiteral("Retry_Hours"), QString()), 24);
    a.MaxPerMinute = countFrom(ini.readSetting(kAccountSection, QStringLiteral("Max_Per_Minute"), QString()), 0);
    a.DigestSeconds = countFrom(ini.readSetting(kAccountSection, QStringLiteral("Digest_Seconds"), QString()), 0);

    // Whole values, not cut to 254 characters as the old keys are: refresh
    // tokens and some client secrets are longer, and a cut one never works.
    for (const OAuthKey &key : kOAuthKeys)
        settings.OAuth.*key.field = trimSpaces(ini.value(kOAuthSection, QLatin1String(key.name), QString()));
    return loaded;
}

Result SaveAllSettings(const Settings &settings)
{
    const QString &path = settings.SettingsFilePath;
    if (path.isEmpty())
        return Result::failure(QStringLiteral("No settings file has been named."));

    // The lines of a file we cannot read would be lost by rewriting it.
    IniFile ini;
    if (Result loaded = ini.load(path); !loaded)
        return loaded;

    const RecipientListTable &lists = settings.RecipientLists;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        ini.setValue(listSection(n), QStringLiteral("Name"), trimSpaces(lists[n].Name));
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k)
            ini.setValue(listSection(n), addressKey(k),
                         trimSpaces(lists[n].Addresses[static_cast<std::size_t>(k)]));

    const AccountSettingsRecord &a = settings.AccountSettings;
    const auto put = [&ini](const char *key, const QString &value) {
        ini.setValue(kAccountSection, QLatin1String(key), value);
    };
    put("SMPT_Server", trimSpaces(a.SmtpServer));
    put("POP3_Server", trimSpaces(a.Pop3Server));
    put("Sender_Name", trimSpaces(a.SenderName));
    put("Sender_Email", trimSpaces(a.SenderEmail));
    put("User_Name", trimSpaces(a.UserName));
    put("User_Password", trimSpaces(a.UserPassword));
    put("MIME", flagText(a.UseMime));
    put("UUEncode", flagText(a.UseUUEncode));
    put("Priority", QString::number(a.Priority));
    put("HTML", flagText(a.UseHtml));
    put("Receipt", flagText(a.RequestReceipt));
    put("Login", flagText(a.UseLogin));
    put("POP_Login", flagText(a.UsePopLogin));
    // Newer keys appear in a file once they mean something, so a file written
    // by an older version reads the same after a save that changed nothing.
    const auto putNewer = [&ini, &put](const char *key, const QString &value, const QString &fallback) {
        if (value != fallback || ini.contains(kAccountSection, QLatin1String(key)))
            put(key, value);
    };
    putNewer("CA_File", trimSpaces(a.CaFile), QString());
    putNewer("Retry_Hours", QString::number(a.RetryHours), QStringLiteral("24"));
    putNewer("Max_Per_Minute", QString::number(a.MaxPerMinute), QStringLiteral("0"));
    putNewer("Digest_Seconds", QString::number(a.DigestSeconds), QStringLiteral("0"));
    for (const OAuthKey &key : kOAuthKeys) {
        const QString value = trimSpaces(settings.OAuth.*key.field);
        if (!value.isEmpty() || ini.contains(kOAuthSection, QLatin1String(key.name)))
            ini.setValue(kOAuthSection, QLatin1String(key.name), value);
    }

    return ini.save(path);
}

} // namespace corvane
