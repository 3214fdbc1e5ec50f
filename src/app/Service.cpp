#include "app/Service.h"

#include "dispatch/Dispatcher.h"
#include "dispatch/SendEvents.h"
#include "intake/CommandEndpoint.h"
#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "oauth/OAuthTokenSource.h"
#include "storage/QueueJournal.h"
#include "storage/SettingsStore.h"

#include <QDir>
#include <QLocale>

#include <cstdio>

#include <utility>

namespace corvane {

Service::Service(ServiceOptions options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_log(QDir(m_options.folder).filePath(QStringLiteral("Logs")), m_options.clock)
    , m_timeTime(this)
    , m_timeEmail(this)
    , m_cancelDeadline(this)
{
    m_timeTime.setObjectName(QStringLiteral("timeTime"));
    m_timeEmail.setObjectName(QStringLiteral("timeEmail"));
    const auto interval = static_cast<int>(m_options.tickInterval.count());
    m_timeTime.setInterval(interval);
    m_timeEmail.setInterval(interval);
    connect(&m_timeTime, &QTimer::timeout, this, &Service::onClockTick);

    m_cancelDeadline.setSingleShot(true);
    m_cancelDeadline.setInterval(static_cast<int>(m_options.cancelWait.count()));
    connect(&m_cancelDeadline, &QTimer::timeout, this, &Service::finishStop);
}

Service::~Service() = default;

Result Service::start()
{
    if (m_started || m_closing)
        return Result::failure(QStringLiteral("The service has already been started."));

    m_tokens = std::make_unique<OAuthTokenSource>(
        m_options.mailTimeouts.serverReply, [clock = m_options.clock] { return clock().toMSecsSinceEpoch(); });
    connect(m_tokens.get(), &OAuthTokenSource::refreshTokenRenewed, this, &Service::keepRenewedRefreshToken);
    MailOptions mailOptions;
    mailOptions.clock = m_options.clock; // the Date header, from the clock the log reads
    mailOptions.tokens = m_tokens.get();
    m_poSendMail = std::make_unique<MailComponent>(m_options.mailTimeouts, std::move(mailOptions));
    m_poSendMail->setObjectName(QStringLiteral("poSendMail"));
    // The status lines, "Send email:" lines and freed slots of the sends whose
    // events come together: one write to the log and one to the journal.
    m_poSendMail->setEventScope([this](const std::function<void()> &deliver) {
        if (!m_queue) {
            deliver();
            return;
        }
        const NotificationQueue::Batch batch(*m_queue);
        deliver();
    });
    m_sendEvents = std::make_unique<SendEvents>(*m_poSendMail, m_log);
    connect(m_sendEvents.get(), &SendEvents::progressTextChanged, this,
            &Service::progressTextChanged);
    connect(m_sendEvents.get(), &SendEvents::statusLineAppended, this,
            &Service::statusLineAppended);
    m_poSendMail->setStartupOption(true);

    m_journal = std::make_unique<QueueJournal>(QDir(m_options.folder).filePath(QStringLiteral("Spool")),
                                               m_options.clock,
                                               [this](const QString &text) { reportSpool(text); });
    m_queue = std::make_unique<NotificationQueue>(m_settings.RecipientLists, m_log, m_journal.get(), m_options.clock);

    m_handler = std::make_unique<CommandHandler>(*m_queue);
    m_wsRC = std::make_unique<CommandEndpoint>(*m_handler, m_options.listenPort, m_options.ackPort);
    m_wsRC->setObjectName(QStringLiteral("wsRC"));
    if (Result started = m_wsRC->start(); !started) {
        QString &reason = started.error;
        const QString port = QString::number(m_options.listenPort);
        if (reason.isEmpty())
            reason = QStringLiteral("UDP port %1 could not be opened").arg(port);
        else if (!reason.contains(port))
            reason = QStringLiteral("UDP port %1: %2").arg(port, reason);
        m_wsRC.reset();
        return Result::failure(QStringLiteral("Corvane cannot receive notifications: ") + reason);
    }

    m_settings.SettingsFilePath = QDir(m_options.folder).filePath(QStringLiteral("Corvane.ini"));
    // Defaults stand in for a settings file that cannot be read, and the next
    // save is refused; the journal says why, the activity log stays as it was.
    if (const Result loaded = LoadAllSettings(m_settings); !loaded)
        std::fprintf(stderr, "corvane: %s\n", qPrintable(loaded.error));
    m_log.WriteLog(QStringLiteral("Program Started"));
    std::vector<QueueJournal::Entry> spooled = m_journal->open();
    const int restored = m_queue->restore(spooled);
    if (restored > 0)
        m_log.WriteLog(QStringLiteral("Restored %1 queued messages from the spool").arg(restored));
    spooled.resize(static_cast<std::size_t>(restored)); // the rest stay in the journal for a later start

    m_dispatcher = std::make_unique<Dispatcher>(*m_queue, m_settings, *m_poSendMail, m_log, m_options.clock,
                                                m_tokens.get(), m_journal.get());
    m_dispatcher->restore(spooled);
    connect(m_dispatcher.get(), &Dispatcher::statusCleared, this, &Service::statusCleared);
    connect(m_dispatcher.get(), &Dispatcher::statusLine, this, &Service::statusLineAppended);
    connect(m_dispatcher.get(), &Dispatcher::progressText, this, &Service::progressTextChanged);
    connect(m_dispatcher.get(), &Dispatcher::deferredCountChanged, this, &Service::deferredCountChanged);
    connect(m_dispatcher.get(), &Dispatcher::digestWaitingChanged, this, &Service::digestWaitingChanged);
    connect(&m_timeEmail, &QTimer::timeout, m_dispatcher.get(), &Dispatcher::onTick);
    m_timeTime.start();
    m_timeEmail.start();
    m_started = true;
    return Result::success();
}

void Service::reportSpool(const QString &text)
{
    std::fprintf(stderr, "corvane: %s\n", qPrintable(text));
    std::fflush(stderr);
    m_log.WriteLog(text);
}

// The token source uses the renewed token from now on; the service owns the
// settings and writes them, as the dialogs do, so the token survives a
// restart. The old one may stop working at any time.
void Service::keepRenewedRefreshToken(const QString &previous, const QString &renewed)
{
    QString &stored = m_settings.OAuth.RefreshToken;
    // Changed meanwhile (the OAuth dialog): the operator's choice stands.
    if (trimSpaces(stored) != previous)
        return;
    stored = renewed;
    if (const Result saved = SaveAllSettings(m_settings); !saved)
        m_log.WriteLog(QStringLiteral("OAuth refresh token renewed by the token endpoint; it could not be saved, "
                                      "and is used from memory until Corvane ends: %1")
                           .arg(saved.error));
    else
        m_log.WriteLog(QStringLiteral("OAuth refresh token renewed by the token endpoint and saved to %1")
                           .arg(QDir::toNativeSeparators(m_settings.SettingsFilePath)));
}

void Service::onClockTick()
{
    // One reading per tick: the date and the time shown always belong to the
    // same instant, also across midnight.
    emit clockTicked(m_options.clock());
}

QString Service::dateText(const QDateTime &now)
{
    return QLocale::c().toString(now.date(), QStringLiteral("MM-dd-yyyy"));
}

QString Service::timeText(const QDateTime &now)
{
    return QLocale::c().toString(now.time(), QStringLiteral("HH:mm:ss"));
}

void Service::requestClose()
{
    if (m_closing)
        return;
    m_closing = true;
    m_log.WriteLog(QStringLiteral("Program Closed"));
    stop();
}

void Service::exitWithoutLog()
{
    if (m_closing)
        return;
    m_closing = true;
    stop();
}

void Service::accountChanged()
{
    if (m_dispatcher)
        m_dispatcher->accountChanged();
}

void Service::stop()
{
    emit stopping();
    m_timeTime.stop();
    m_timeEmail.stop();
    // Closing the port first: a datagram accepted now would be acknowledged
    // and then lost with the rest of the queue.
    m_wsRC.reset();
    if (m_dispatcher)
        m_dispatcher->stop();
    // From here the journal keeps what it holds: a send cancelled below may
    // not have reached the server, so its message is sent again next start
    // rather than lost.
    if (m_journal)
        m_journal->close();

    if (m_poSendMail)
        m_poSendMail->close();
    if (m_poSendMail && !m_poSendMail->isClosed()) {
        // Every send lined up ends, and the connection says QUIT where it
        // can: the stop waits for both.
        connect(m_poSendMail.get(), &MailComponent::closed, this, &Service::finishStop);
        m_cancelDeadline.start();
        return;
    }
    // Queued, so that a caller inside an event handler finishes before the
    // event loop is told to end.
    QMetaObject::invokeMethod(this, &Service::finishStop, Qt::QueuedConnection);
}

void Service::finishStop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_cancelDeadline.stop();
    // The status lines the send reported before the close still reach the
    // log, even when the cancel took longer than we wait.
    if (m_poSendMail)
        m_poSendMail->deliverPendingEvents();
    emit stopped();
}

} // namespace corvane
