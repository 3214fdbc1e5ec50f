// The retry rule as a table: which outcomes are tried again, which pause every
// send, and when the next try comes.

#include "dispatch/RetryRule.h"

#include <QTest>

using namespace corvane;
using Kind = MailOutcome::Kind;
using Verdict = RetryRule::Verdict;

Q_DECLARE_METATYPE(MailOutcome)
Q_DECLARE_METATYPE(RetryRule::Decision)

namespace {

MailOutcome outcome(Kind kind, MailPhase phase, int code = 0, const QString &enhanced = {})
{
    MailOutcome o;
    o.kind = kind;
    o.phase = phase;
    o.code = code;
    o.enhancedCode = enhanced;
    return o;
}

constexpr RetryRule::Decision accepted{Verdict::Accepted, false, false};
constexpr RetryRule::Decision failed{Verdict::Failed, false, false};
constexpr RetryRule::Decision later{Verdict::Deferred, false, false};
constexpr RetryRule::Decision pause{Verdict::Deferred, true, false};

constexpr qint64 Minute = 60 * 1000;
constexpr qint64 Hour = 60 * Minute;

} // namespace

class RetryRuleTest : public QObject {
    Q_OBJECT

private slots:
    void classify_data()
    {
        QTest::addColumn<MailOutcome>("outcome");
        QTest::addColumn<RetryRule::Decision>("expected");

        // The faults a scripted server can stage are rows of tst_dispatcher;
        // these are the ones it cannot, and the edges of the codes.
        QTest::newRow("accepted") << outcome(Kind::Accepted, MailPhase::EndOfData, 250) << accepted;
        QTest::newRow("no server set") << outcome(Kind::NotSent, MailPhase::Setup) << pause;
        QTest::newRow("connect refused") << outcome(Kind::NotSent, MailPhase::Connect) << pause;
        QTest::newRow("TLS handshake") << outcome(Kind::NotSent, MailPhase::Tls) << pause;
        QTest::newRow("lost in the envelope") << outcome(Kind::NotSent, MailPhase::Mail) << later;
        QTest::newRow("no usable recipient") << outcome(Kind::NotSent, MailPhase::Rcpt) << failed;
        QTest::newRow("message cannot be built") << outcome(Kind::NotSent, MailPhase::Data) << failed;
        QTest::newRow("451 4.7.1 greylisting") << outcome(Kind::Refused, MailPhase::Rcpt, 451, "4.7.1") << pause;
        QTest::newRow("450 4.3.2") << outcome(Kind::Refused, MailPhase::Mail, 450, "4.3.2") << pause;
        QTest::newRow("552 at end of data") << outcome(Kind::Refused, MailPhase::EndOfData, 552) << failed;
        // A 5.7.x enhanced code on a 5xx is a refusal, not throttling.
        QTest::newRow("550 5.7.0 at end of data") << outcome(Kind::Refused, MailPhase::EndOfData, 550, "5.7.0")
                                                  << failed;
    }

    void classify()
    {
        QFETCH(MailOutcome, outcome);
        QFETCH(RetryRule::Decision, expected);
        const RetryRule::Decision decision = RetryRule::classify(outcome);
        QCOMPARE(int(decision.verdict), int(expected.verdict));
        QCOMPARE(decision.serverWide, expected.serverWide);
        QCOMPARE(decision.mayHaveArrived, expected.mayHaveArrived);
    }

    void schedule_data()
    {
        QTest::addColumn<int>("attempts");
        QTest::addColumn<qint64>("sinceFirst"); // ms from the first attempt to this failure
        QTest::addColumn<int>("retryHours");
        QTest::addColumn<qint64>("wait");       // ms to the next try; -1: given up

        QTest::newRow("first") << 1 << qint64(0) << 24 << qint64(10000);
        QTest::newRow("second") << 2 << qint64(10000) << 24 << qint64(30000);
        QTest::newRow("third") << 3 << qint64(40000) << 24 << qint64(Minute);
        QTest::newRow("fourth") << 4 << 2 * Minute << 24 << 2 * Minute;
        QTest::newRow("fifth") << 5 << 4 * Minute << 24 << 5 * Minute;
        QTest::newRow("then every five minutes") << 40 << 3 * Hour << 24 << 5 * Minute;
        QTest::newRow("just inside the hours") << 300 << 24 * Hour - 1 << 24 << 5 * Minute;
        QTest::newRow("the hours have passed") << 300 << 24 * Hour << 24 << qint64(-1);
        QTest::newRow("one hour bound") << 3 << Hour + 1 << 1 << qint64(-1);
        QTest::newRow("0: never retried") << 1 << qint64(0) << 0 << qint64(-1);
    }

    void schedule()
    {
        QFETCH(int, attempts);
        QFETCH(qint64, sinceFirst);
        QFETCH(int, retryHours);
        QFETCH(qint64, wait);
        const qint64 first = 1700000000000;
        const std::optional<qint64> next = RetryRule::nextTryMs(first, attempts, first + sinceFirst, retryHours);
        QCOMPARE(next.has_value(), wait >= 0);
        if (next)
            QCOMPARE(*next - (first + sinceFirst), wait);
    }
};

QTEST_GUILESS_MAIN(RetryRuleTest)
#include "tst_retry_rule.moc"
