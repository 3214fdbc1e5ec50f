#include "dialogs/frmSetDelivery.h"

#include "dialogs/DialogRules.h"
#include "storage/Settings.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace corvane {

namespace {

// Far beyond any sensible value, so that no stored one is cut on saving.
constexpr int MaxCount = 99999999;

QLabel *makeLabel(const QString &name, const QString &caption, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setFont(DialogWindow::legacyFont(8.25, true));
    return label;
}

} // namespace

frmSetDelivery::frmSetDelivery(Settings &settings, QWidget *parent)
    : DialogWindow(QStringLiteral("frmSetDelivery"), QStringLiteral("Delivery Settings"), 6675, 3360, parent)
    , m_settings(settings)
{
    m_frame1 = new QGroupBox(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 120, 120, 6435, 2535);

    place(makeLabel(QStringLiteral("lblCaFile"), QStringLiteral("CA File"), m_frame1), 120, 240, 2400, 285);
    m_txtCaFile = makeLineEdit(QStringLiteral("txtCaFile"), m_frame1);
    m_txtCaFile->setToolTip(QStringLiteral("PEM file of the certificates the server's must chain to; "
                                           "empty: the system's"));
    place(m_txtCaFile, 2580, 240, 3720, 285);

    m_txtRetryHours = addCount(QStringLiteral("RetryHours"), QStringLiteral("Retry For (Hours)"),
                               QStringLiteral("How long a deferred message is tried again; 0: never"), 600);
    m_txtPerMinute = addCount(QStringLiteral("PerMinute"), QStringLiteral("Messages A Minute"),
                              QStringLiteral("At most this many messages a minute to the server; 0: no limit"),
                              960);
    m_txtDigestSeconds = addCount(QStringLiteral("DigestSeconds"), QStringLiteral("Digest Seconds"),
                                  QStringLiteral("Alarms for a list within this many seconds of its last "
                                                 "e-mail go together as one digest; 0: one e-mail each"),
                                  1320);

    auto *lblNote = new QLabel(QStringLiteral("The first alarm for a list goes at once; those that follow within "
                                              "the digest seconds wait and go as one e-mail."),
                               m_frame1);
    lblNote->setObjectName(QStringLiteral("lblNote"));
    lblNote->setWordWrap(true);
    lblNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(lblNote, 120, 1755, 6180, 600);

    m_cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("Apply And Save"), this);
    place(m_cmdOk, 1710, 2775, 1515, 465);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3420, 2775, 1515, 465);
    connect(m_cmdOk, &QPushButton::clicked, this, &frmSetDelivery::apply);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    const AccountSettingsRecord &a = m_settings.AccountSettings;
    m_txtCaFile->setText(a.CaFile);
    m_txtRetryHours->setValue(a.RetryHours);
    m_txtPerMinute->setValue(a.MaxPerMinute);
    m_txtDigestSeconds->setValue(a.DigestSeconds);
    m_txtCaFile->setFocus(Qt::OtherFocusReason);
}

QSpinBox *frmSetDelivery::addCount(const QString &name, const QString &caption, const QString &tip, int top)
{
    place(makeLabel(QStringLiteral("lbl") + name, caption, m_frame1), 120, top, 2400, 285);
    auto *box = new QSpinBox(m_frame1);
    box->setObjectName(QStringLiteral("txt") + name);
    box->setToolTip(tip);
    box->setFont(legacyFont(8.25, false));
    box->setRange(0, MaxCount);
    place(box, 2580, top - 15, 1200, 315);
    return box;
}

void frmSetDelivery::apply()
{
    AccountSettingsRecord &a = m_settings.AccountSettings;
    a.CaFile = trimSpaces(m_txtCaFile->text());
    a.RetryHours = m_txtRetryHours->value();
    a.MaxPerMinute = m_txtPerMinute->value();
    a.DigestSeconds = m_txtDigestSeconds->value();
    emit deliveryApplied();

    saveAndClose(m_settings);
}

} // namespace corvane
