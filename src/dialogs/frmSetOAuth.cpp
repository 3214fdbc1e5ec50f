#include "dialogs/frmSetOAuth.h"

#include "dialogs/DialogRules.h"
#include "storage/Settings.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <array>
#include <utility>

namespace corvane {

namespace {

enum Field { Tenant, ClientId, ClientSecret, CertificateFile, PrivateKeyFile, ServiceAccountFile,
             RefreshToken, TokenUrl, Scope, FieldCount };

struct FieldInfo {
    const char *name; // the box is "txt" + name, its label "lbl" + name
    const char *caption;
    QString OAuthSettingsRecord::*value;
    bool secret;
};

const std::array<FieldInfo, FieldCount> kFields{{
    {"Tenant", "Tenant", &OAuthSettingsRecord::Tenant, false},
    {"ClientId", "Client Id", &OAuthSettingsRecord::ClientId, false},
    {"ClientSecret", "Client Secret", &OAuthSettingsRecord::ClientSecret, true},
    {"CertificateFile", "Certificate File", &OAuthSettingsRecord::CertificateFile, false},
    {"PrivateKeyFile", "Private Key File", &OAuthSettingsRecord::PrivateKeyFile, false},
    {"ServiceAccountFile", "Service Account File", &OAuthSettingsRecord::ServiceAccountFile, false},
    {"RefreshToken", "Refresh Token", &OAuthSettingsRecord::RefreshToken, true},
    {"TokenUrl", "Token URL", &OAuthSettingsRecord::TokenUrl, false},
    {"Scope", "Scope", &OAuthSettingsRecord::Scope, false},
}};

// Item text and the Provider value stored for it.
const std::array<std::pair<const char *, const char *>, 4> kProviders{{
    {"None (password)", ""},
    {"Microsoft", "Microsoft"},
    {"Google", "Google"},
    {"Custom", "Custom"},
}};

// The rows a provider needs, top to bottom. The token URL and scope are
// overrides of the provider's own, except for a custom provider, which has none.
std::vector<Field> fieldsOf(const QString &provider)
{
    if (provider.isEmpty())
        return {};
    if (provider == QLatin1String("Microsoft"))
        return {Tenant, ClientId, ClientSecret, CertificateFile, PrivateKeyFile, TokenUrl, Scope};
    if (provider == QLatin1String("Google"))
        return {ServiceAccountFile, ClientId, ClientSecret, RefreshToken, TokenUrl, Scope};
    // Also a name only a hand-edited file can hold: the plain refresh-token
    // grant is what any other provider would take.
    return {TokenUrl, ClientId, ClientSecret, RefreshToken, Scope};
}

// Grey text in an empty box: that an override may stay empty, or which
// credential can stand in for this one.
QString hintFor(const QString &provider, Field field)
{
    const bool known = provider == QLatin1String("Microsoft") || provider == QLatin1String("Google");
    if (known && (field == TokenUrl || field == Scope))
        return QStringLiteral("empty: the provider's own");
    if (provider == QLatin1String("Microsoft") && field == ClientSecret)
        return QStringLiteral("or a certificate and its key below");
    if (provider == QLatin1String("Google") && field == ServiceAccountFile)
        return QStringLiteral("JSON key, or a client and refresh token below");
    return QString();
}

constexpr int RowTop = 615; // first row under the provider
constexpr int RowStep = 360;

} // namespace

frmSetOAuth::frmSetOAuth(Settings &settings, QWidget *parent)
    : DialogWindow(QStringLiteral("frmSetOAuth"), QStringLiteral("OAuth Sign-In"), 6675, 4680, parent)
    , m_settings(settings)
{
    m_frame1 = new QGroupBox(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 120, 120, 6435, 3840);

    auto *lblProvider = new QLabel(QStringLiteral("Provider"), m_frame1);
    lblProvider->setObjectName(QStringLiteral("lblProvider"));
    lblProvider->setFont(legacyFont(8.25, true));
    place(lblProvider, 120, 240, 1950, 285);
    // Pick-only, like the priority: a typed name would be no provider at all.
    m_cmbProvider = new QComboBox(m_frame1);
    m_cmbProvider->setObjectName(QStringLiteral("cmbProvider"));
    m_cmbProvider->setFont(legacyFont(8.25, false));
    place(m_cmbProvider, 2100, 210, 2400, 315);

    for (const FieldInfo &field : kFields) {
        Row row;
        row.label = new QLabel(QString::fromLatin1(field.caption), m_frame1);
        row.label->setObjectName(QLatin1String("lbl") + QLatin1String(field.name));
        row.label->setFont(legacyFont(8.25, true));
        row.box = makeLineEdit(QLatin1String("txt") + QLatin1String(field.name), m_frame1);
        if (field.secret)
            row.box->setEchoMode(QLineEdit::Password);
        m_rows.push_back(row);
    }

    m_lblNote = new QLabel(QStringLiteral("With a provider and \"Login\" ticked in Sending Email Account, "
                                          "the sign-in is OAuth and Account User Name is the mailbox."),
                           m_frame1);
    m_lblNote->setObjectName(QStringLiteral("lblNote"));
    m_lblNote->setWordWrap(true);
    m_lblNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(m_lblNote, 120, 3240, 6180, 480);

    m_cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("Apply And Save"), this);
    place(m_cmdOk, 1710, 4095, 1515, 465);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3420, 4095, 1515, 465);

    connect(m_cmdOk, &QPushButton::clicked, this, &frmSetOAuth::apply);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    load();
    connect(m_cmbProvider, &QComboBox::currentIndexChanged, this, &frmSetOAuth::providerChanged);
    m_cmbProvider->setFocus(Qt::OtherFocusReason);
}

void frmSetOAuth::load()
{
    const OAuthSettingsRecord &oauth = m_settings.OAuth;
    for (const auto &[caption, stored] : kProviders)
        m_cmbProvider->addItem(QString::fromLatin1(caption), QString::fromLatin1(stored));
    // The service reads the name regardless of case; the list shows it as written here.
    const QString stored = trimSpaces(oauth.Provider);
    int item = m_cmbProvider->findData(stored, Qt::UserRole, Qt::MatchFixedString);
    if (item < 0) {
        m_cmbProvider->addItem(stored, stored);
        item = m_cmbProvider->count() - 1;
    }
    m_cmbProvider->setCurrentIndex(item);
    for (int f = 0; f < FieldCount; ++f)
        m_rows[f].box->setText(oauth.*kFields[f].value);
    providerChanged();
}

void frmSetOAuth::providerChanged()
{
    const QString provider = m_cmbProvider->currentData().toString();
    for (const Row &row : m_rows) {
        row.label->hide();
        row.box->hide();
    }
    // The rows close up, so each provider's form reads from the top.
    QWidget *previous = m_cmbProvider;
    int top = RowTop;
    for (Field f : fieldsOf(provider)) {
        const Row &row = m_rows[f];
        place(row.label, 120, top, 1950, 285);
        place(row.box, 2100, top, 4200, 285);
        row.box->setPlaceholderText(hintFor(provider, f));
        row.label->show();
        row.box->show();
        setTabOrder(previous, row.box);
        previous = row.box;
        top += RowStep;
    }
    setTabOrder(previous, m_cmdOk);
    setTabOrder(m_cmdOk, m_cmdCancel);
}

void frmSetOAuth::apply()
{
    // Hidden rows are applied too: choosing another provider for a while
    // loses nothing typed for the first.
    OAuthSettingsRecord &oauth = m_settings.OAuth;
    oauth.Provider = m_cmbProvider->currentData().toString();
    for (int f = 0; f < FieldCount; ++f)
        oauth.*kFields[f].value = trimSpaces(m_rows[f].box->text());
    emit oauthApplied();

    saveAndClose(m_settings);
}

} // namespace corvane
