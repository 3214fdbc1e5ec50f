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
        // The faults a scripted server can stage (and success) are rows of
        // tst_dispatcher; these are the ones it cannot, and the codes' edges.
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
        QTest::newRow("550 5.7.0 at end") << outcome(Kind::Refused, MailPhase::EndOfData, 550, "5.7.0") << failed;
    }

    void classify()
    {
        QFETCH(MailOutcome, outcome);
        QFETCH(RetryRule::Decision, expected);
        QCOMPARE(RetryRule::classify(outcome), expected); // verdict, serverWide and mayHaveArrived
    }

    void schedule_data()
    {
        QTest::addColumn<int>("attempts");
        QTest::addColumn<qint64>("sinceFirst"); // ms from the first attempt to this failure
        QTest::addColumn<qint64>("wait");       // ms to the next try, Retry_Hours 24; -1: given up
        QTest::newRow("first") << 1 << qint64(0) << qint64(10000);
        QTest::newRow("second") << 2 << qint64(10000) << qint64(30000);
        QTest::newRow("third") << 3 << qint64(40000) << qint64(Minute);
        QTest::newRow("fourth") << 4 << 2 * Minute << 2 * Minute;
        QTest::newRow("fifth") << 5 << 4 * Minute << 5 * Minute;
        QTest::newRow("then every five minutes, just inside the hours") << 300 << 24 * Hour - 1 << 5 * Minute;
        QTest::newRow("the hours have passed") << 300 << 24 * Hour << qint64(-1);
    }

    void schedule()
    {
        QFETCH(int, attempts);
        QFETCH(qint64, sinceFirst);
        QFETCH(qint64, wait);
        const qint64 first = 1700000000000, failedAt = first + sinceFirst;
        const std::optional<qint64> next = RetryRule::nextTryMs(first, attempts, failedAt, 24);
        QCOMPARE(next ? *next - failedAt : qint64(-1), wait);
    }
};

QTEST_GUILESS_MAIN(RetryRuleTest)
#include "tst_retry_rule.moc"
