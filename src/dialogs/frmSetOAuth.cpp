#include "dialogs/frmSetOAuth.h"

#include "dialogs/DialogRules.h"
#include "oauth/OAuthProviders.h"
#include "oauth/OAuthProxy.h"
#include "storage/Settings.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace corvane {

namespace {

// The provider's rows; a name only a hand-edited file can hold gets the
// Custom provider's, the plain refresh-token grant any other would take.
const std::vector<OAuthFieldUse> &rowsOf(const QString &provider)
{
    static const std::vector<OAuthFieldUse> none;
    const OAuthProvider known = oauthProviderFromName(provider).value_or(OAuthProvider::Custom);
    const OAuthProviderInfo *info = oauthProviderInfo(known);
    return info ? info->fields : none;
}

constexpr int RowTop = 615; // first row under the provider
constexpr int RowStep = 360;

} // namespace

frmSetOAuth::frmSetOAuth(Settings &settings, QWidget *parent)
    : DialogWindow(QStringLiteral("frmSetOAuth"), QStringLiteral("OAuth Sign-In"), 6675, 5400, parent)
    , m_settings(settings)
{
    m_frame1 = new QGroupBox(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 120, 120, 6435, 4560);

    auto *lblProvider = new QLabel(QStringLiteral("Provider"), m_frame1);
    lblProvider->setObjectName(QStringLiteral("lblProvider"));
    lblProvider->setFont(legacyFont(8.25, true));
    place(lblProvider, 120, 240, 1950, 285);
    // Pick-only, like the priority: a typed name would be no provider at all.
    m_cmbProvider = new QComboBox(m_frame1);
    m_cmbProvider->setObjectName(QStringLiteral("cmbProvider"));
    m_cmbProvider->setFont(legacyFont(8.25, false));
    place(m_cmbProvider, 2100, 210, 2400, 315);

    for (const OAuthFieldInfo &field : oauthFields()) {
        Row row;
        row.label = new QLabel(QString::fromLatin1(field.caption), m_frame1);
        row.label->setObjectName(QLatin1String("lbl") + QLatin1String(field.name));
        row.label->setFont(legacyFont(8.25, true));
        row.box = makeLineEdit(QLatin1String("txt") + QLatin1String(field.name), m_frame1);
        if (field.secret)
            row.box->setEchoMode(QLineEdit::Password);
        m_rows.push_back(row);
    }
    m_proxyPassword.label = new QLabel(QStringLiteral("Proxy Password"), m_frame1);
    m_proxyPassword.label->setObjectName(QStringLiteral("lblProxyPassword"));
    m_proxyPassword.label->setFont(legacyFont(8.25, true));
    m_proxyPassword.box = makeLineEdit(QStringLiteral("txtProxyPassword"), m_frame1);
    m_proxyPassword.box->setEchoMode(QLineEdit::Password);
    m_proxyPassword.box->setPlaceholderText(QStringLiteral("if the proxy wants one"));

    m_lblNote = new QLabel(QStringLiteral("With a provider and \"Login\" ticked in Sending Email Account, "
                                          "the sign-in is OAuth and Account User Name is the mailbox."),
                           m_frame1);
    m_lblNote->setObjectName(QStringLiteral("lblNote"));
    m_lblNote->setWordWrap(true);
    m_lblNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(m_lblNote, 120, 3960, 6180, 480);

    m_cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("Apply And Save"), this);
    place(m_cmdOk, 1710, 4815, 1515, 465);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3420, 4815, 1515, 465);

    connect(m_cmdOk, &QPushButton::clicked, this, &frmSetOAuth::apply);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    load();
    connect(m_cmbProvider, &QComboBox::currentIndexChanged, this, &frmSetOAuth::providerChanged);
    m_cmbProvider->setFocus(Qt::OtherFocusReason);
}

void frmSetOAuth::load()
{
    const OAuthSettingsRecord &oauth = m_settings.OAuth;
    m_cmbProvider->addItem(QStringLiteral("None (password)"), QString());
    for (const OAuthProviderInfo &provider : oauthProviders())
        m_cmbProvider->addItem(QString::fromLatin1(provider.name), QString::fromLatin1(provider.name));
    // The service reads the name regardless of case; the list shows it as written here.
    const QString stored = trimSpaces(oauth.Provider);
    int item = m_cmbProvider->findData(stored, Qt::UserRole, Qt::MatchFixedString);
    if (item < 0) {
        m_cmbProvider->addItem(stored, stored);
        item = m_cmbProvider->count() - 1;
    }
    m_cmbProvider->setCurrentIndex(item);
    for (const OAuthFieldInfo &field : oauthFields())
        m_rows[std::size_t(field.field)].box->setText(oauth.*field.value);
    // The proxy's password never shows in the address.
    m_rows[std::size_t(OAuthField::Proxy)].box->setText(OAuthProxy::addressOf(oauth.Proxy));
    m_proxyPassword.box->setText(OAuthProxy::passwordOf(oauth.Proxy));
    for (const OAuthFieldInfo &field : oauthFields())
        m_shown.push_back(typed(field));
    providerChanged();
}

void frmSetOAuth::providerChanged()
{
    const QString provider = m_cmbProvider->currentData().toString();
    for (const Row &row : m_rows) {
        row.label->hide();
        row.box->hide();
    }
    m_proxyPassword.label->hide();
    m_proxyPassword.box->hide();
    // The rows close up, so each provider's form reads from the top.
    QWidget *previous = m_cmbProvider;
    int top = RowTop;
    const auto show = [&](const Row &row) {
        place(row.label, 120, top, 1950, 285);
        place(row.box, 2100, top, 4200, 285);
        row.label->show();
        row.box->show();
        setTabOrder(previous, row.box);
        previous = row.box;
        top += RowStep;
    };
    for (const OAuthFieldUse &use : rowsOf(provider)) {
        const Row &row = m_rows[std::size_t(use.field)];
        row.box->setPlaceholderText(QString::fromLatin1(use.hint));
        show(row);
        if (use.field == OAuthField::Proxy)
            show(m_proxyPassword);
    }
    setTabOrder(previous, m_cmdOk);
    setTabOrder(m_cmdOk, m_cmdCancel);
}

void frmSetOAuth::apply()
{
    // Hidden rows are applied too: choosing another provider for a while
    // loses nothing typed for the first.
    // A value not edited here stays as the settings hold it now: a refresh
    // token the service renewed while the dialog was open is kept.
    OAuthSettingsRecord &oauth = m_settings.OAuth;
    oauth.Provider = m_cmbProvider->currentData().toString();
    for (const OAuthFieldInfo &field : oauthFields())
        if (const QString value = typed(field); value != m_shown[std::size_t(field.field)])
            oauth.*field.value = value;
    emit oauthApplied();

    saveAndClose(m_settings);
}

QString frmSetOAuth::typed(const OAuthFieldInfo &field) const
{
    const QString text = trimSpaces(m_rows[std::size_t(field.field)].box->text());
    return field.field == OAuthField::Proxy ? OAuthProxy::joined(text, m_proxyPassword.box->text()) : text;
}

} // namespace corvane
