#include "dialogs/frmSetEmailAccount.h"

#include "dialogs/DialogRules.h"
#include "storage/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace corvane {

namespace {

QCheckBox *makeCheckBox(const QString &name, const QString &caption, const QString &tip,
                        QWidget *parent)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setToolTip(tip);
    box->setFont(DialogWindow::legacyFont(8.25, false));
    return box;
}

QRadioButton *makeOption(const QString &name, const QString &caption, const QString &tip,
                         QWidget *parent)
{
    auto *option = new QRadioButton(caption, parent);
    option->setObjectName(name);
    option->setToolTip(tip);
    option->setFont(DialogWindow::legacyFont(8.25, false));
    return option;
}

} // namespace

frmSetEmailAccount::frmSetEmailAccount(Settings &settings, QWidget *parent)
    : DialogWindow(QStringLiteral("frmSetEmailAccount"), QStringLiteral("Email Account Settings"),
                   6675, 4755, parent)
    , m_settings(settings)
{
    m_frame1 = new QGroupBox(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 120, 120, 6435, 3945);

    m_txtServer = addField(QStringLiteral("lblServer"), QStringLiteral("SMTP Server"), 120, 1950,
                           QStringLiteral("txtServer"), 240);
    m_txtPopServer = addField(QStringLiteral("lblPopServer"), QStringLiteral("POP3 Server"), 120,
                              1950, QStringLiteral("txtPopServer"), 615, &m_lblPopServer);
    m_txtFromName = addField(QStringLiteral("lblFromName"), QStringLiteral("Sender Name"), 120,
                             1935, QStringLiteral("txtFromName"), 975);
    m_txtFromEmail = addField(QStringLiteral("lblFrom"), QStringLiteral("Sender Email"), 120, 1935,
                              QStringLiteral("txtFromEmail"), 1335);
    m_txtUserName = addField(QStringLiteral("lblAccountUser"), QStringLiteral("Account User Name"),
                             135, 1920, QStringLiteral("txtUserName"), 1680);
    m_txtUserPassword = addField(QStringLiteral("lblAccountPassword"),
                                 QStringLiteral("Account Password"), 135, 1920,
                                 QStringLiteral("txtUserPassword"), 2040);

    m_frame2 = new QGroupBox(QStringLiteral("Options"), m_frame1);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_frame2->setFont(legacyFont(8.25, true));
    place(m_frame2, 150, 2460, 6135, 1305);

    m_optMime = makeOption(QStringLiteral("optEncodeType(0)"), QStringLiteral("MIME"),
                           QStringLiteral("Use MIME encoding for Mail & Attachments."), m_frame2);
    place(m_optMime, 180, 360, 915, 195);
    m_optUUEncode = makeOption(QStringLiteral("optEncodeType(1)"), QStringLiteral("UUEncode"),
                               QStringLiteral("Use UU Encoding for Attachments."), m_frame2);
    place(m_optUUEncode, 195, 720, 1095, 195);

    // Pick-only: a typed text would leave no item, and so no Priority, to store.
    m_cmbPriority = new QComboBox(m_frame2);
    m_cmbPriority->setObjectName(QStringLiteral("cmbPriority"));
    m_cmbPriority->setToolTip(QStringLiteral("Sets the Prioirty of the Mail Message"));
    m_cmbPriority->setFont(legacyFont(8.25, false));
    place(m_cmbPriority, 2295, 240, 1055, 315);

    m_chkHtml = makeCheckBox(QStringLiteral("chkHtml"), QStringLiteral("Html"),
                             QStringLiteral("Mail Body is HTML / Plain Text"), m_frame2);
    place(m_chkHtml, 2295, 720, 1035, 195);
    m_chkReceipt = makeCheckBox(QStringLiteral("chkReceipt"), QStringLiteral("Receipt"),
                                QStringLiteral("Request a Return Receipt"), m_frame2);
    place(m_chkReceipt, 4275, 225, 1035, 255);
    const QString loginTip = QStringLiteral("Use Login Authorization When Connecting to a Host");
    m_chkLogin = makeCheckBox(QStringLiteral("chkLogin"), QStringLiteral("Login"), loginTip, m_frame2);
    place(m_chkLogin, 4275, 510, 915, 255);
    m_chkPopLogin = makeCheckBox(QStringLiteral("chkPopLogin"), QStringLiteral("POP Login"),
                                 loginTip, m_frame2);
    place(m_chkPopLogin, 4275, 840, 1095, 255);

    m_cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("Apply And Save"), this);
    place(m_cmdOk, 1710, 4170, 1515, 465);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3420, 4170, 1515, 465);

    const QList<QWidget *> order{m_txtServer,   m_txtPopServer, m_txtFromName, m_txtFromEmail,
                                 m_txtUserName, m_txtUserPassword, m_optMime,  m_optUUEncode,
                                 m_cmbPriority, m_chkHtml,     m_chkReceipt, m_chkLogin,
                                 m_chkPopLogin, m_cmdOk,       m_cmdCancel};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    m_optMime->installEventFilter(this);
    m_optUUEncode->installEventFilter(this);

    connect(m_chkPopLogin, &QCheckBox::toggled, this, &frmSetEmailAccount::popLoginChanged);
    connect(m_optMime, &QRadioButton::toggled, this, &frmSetEmailAccount::encodingChanged);
    connect(m_cmdOk, &QPushButton::clicked, this, &frmSetEmailAccount::apply);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    load();
    m_txtServer->setFocus(Qt::OtherFocusReason);
}

QLineEdit *frmSetEmailAccount::addField(const QString &labelName, const QString &caption,
                                        int labelLeft, int labelWidth, const QString &boxName,
                                        int top, QLabel **label)
{
    auto *lbl = new QLabel(caption, m_frame1);
    lbl->setObjectName(labelName);
    lbl->setFont(legacyFont(8.25, true));
    place(lbl, labelLeft, top, labelWidth, 285);
    if (label)
        *label = lbl;
    QLineEdit *box = makeLineEdit(boxName, m_frame1);
    place(box, 2100, top, 4200, 285);
    return box;
}

bool frmSetEmailAccount::eventFilter(QObject *watched, QEvent *event)
{
    // The option group is one stop for Tab, and the stop is the selected
    // option, so Tab then Space never changes the encoding by accident.
    if (event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        QRadioButton *other = watched == m_optMime ? m_optUUEncode : m_optMime;
        if ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)
            && other->isChecked())
            other->setFocus(reason);
    }
    return DialogWindow::eventFilter(watched, event);
}

void frmSetEmailAccount::load()
{
    const AccountSettingsRecord &account = m_settings.AccountSettings;
    m_cmbPriority->addItems({QStringLiteral("Normal"), QStringLiteral("High"), QStringLiteral("Low")});
    m_cmbPriority->setCurrentIndex(0);
    m_txtServer->setText(account.SmtpServer);
    m_txtPopServer->setText(account.Pop3Server);
    m_lblPopServer->setEnabled(account.UsePopLogin);
    m_txtPopServer->setEnabled(account.UsePopLogin);
    m_txtFromName->setText(account.SenderName);
    m_txtFromEmail->setText(account.SenderEmail);
    m_txtUserName->setText(account.UserName);
    m_txtUserPassword->setText(account.UserPassword);
    // Selecting an option runs encodingChanged, which sets the MIME-only states.
    (account.UseMime ? m_optMime : m_optUUEncode)->setChecked(true);
    encodingChanged();
    m_cmbPriority->setCurrentIndex(priorityItem(account.Priority));
    // After the encoding, so a UUEncode account shows its stored flags, disabled.
    m_chkHtml->setChecked(account.UseHtml);
    m_chkReceipt->setChecked(account.RequestReceipt);
    m_chkLogin->setChecked(account.UseLogin);
    m_chkPopLogin->setChecked(account.UsePopLogin);
    popLoginChanged();
}

void frmSetEmailAccount::popLoginChanged()
{
    const bool on = m_chkPopLogin->isChecked();
    m_lblPopServer->setEnabled(on);
    m_txtPopServer->setEnabled(on);
}

void frmSetEmailAccount::encodingChanged()
{
    const bool mime = m_optMime->isChecked();
    if (!mime) {
        m_chkHtml->setChecked(false);
        m_chkReceipt->setChecked(false);
        m_chkLogin->setChecked(false);
    }
    for (QWidget *w : {static_cast<QWidget *>(m_cmbPriority), static_cast<QWidget *>(m_chkHtml),
                       static_cast<QWidget *>(m_chkReceipt), static_cast<QWidget *>(m_chkLogin)})
        w->setEnabled(mime);
}

void frmSetEmailAccount::apply()
{
    AccountSettingsRecord &account = m_settings.AccountSettings;
    account.SmtpServer = trimSpaces(m_txtServer->text());
    account.Pop3Server = trimSpaces(m_txtPopServer->text());
    account.SenderName = trimSpaces(m_txtFromName->text());
    account.SenderEmail = trimSpaces(m_txtFromEmail->text());
    account.UserName = trimSpaces(m_txtUserName->text());
    account.UserPassword = trimSpaces(m_txtUserPassword->text());
    account.UseMime = m_optMime->isChecked();
    account.UseUUEncode = !account.UseMime;
    account.Priority = static_cast<std::uint8_t>(qMax(0, m_cmbPriority->currentIndex()));
    account.UseHtml = m_chkHtml->isChecked();
    account.RequestReceipt = m_chkReceipt->isChecked();
    account.UseLogin = m_chkLogin->isChecked();
    account.UsePopLogin = m_chkPopLogin->isChecked();
    emit accountApplied();

    saveAndClose(m_settings);
}

} // namespace corvane
