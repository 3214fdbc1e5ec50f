// Digests as a pure function: what one e-mail says of several alarms, and
// where a long one is split.

#include "dispatch/DigestBuilder.h"
#include "mail/MailEncoding.h"

#include <QTest>

#include <set>

using namespace corvane;

Q_DECLARE_METATYPE(std::vector<corvane::DigestAlarm>)

namespace {

const QTimeZone Utc = QTimeZone::utc();

// An alarm accepted at `time` ("HH:mm:ss") on 1 December 2026, UTC.
DigestAlarm alarm(std::uint64_t id, const char *time, const QString &subject, const QString &text,
                  int day = 1)
{
    const QDateTime when(QDate(2026, 12, day), QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm:ss")), Utc);
    return {id, when.toMSecsSinceEpoch(), subject, text};
}

DigestFormat format(qint64 maxBodyBytes = DigestFormat::DefaultMaxBodyBytes, bool html = false)
{
    DigestFormat f;
    f.maxBodyBytes = maxBodyBytes;
    f.html = html;
    f.zone = Utc;
    return f;
}

qint64 encoded(const QString &body)
{
    return mail::encodeQuotedPrintable(mail::normaliseLineEnds(body.toUtf8())).size();
}

} // namespace

class DigestBuilderTest : public QObject {
    Q_OBJECT

private slots:
    void saysEveryAlarm_data()
    {
        QTest::addColumn<std::vector<DigestAlarm>>("alarms");
        QTest::addColumn<bool>("html");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("body");

        QTest::newRow("one alarm goes as itself")
            << std::vector<DigestAlarm>{alarm(7, "10:41:02", "Pump 3 stopped", "Motor overload")} << false
            << "Pump 3 stopped" << "Motor overload";
        QTest::newRow("in the order accepted, whatever order they come in")
            << std::vector<DigestAlarm>{alarm(3, "10:41:05", "Flow low", "Flow 0 l/min"),
                                        alarm(1, "10:41:02", "Pump 3 stopped", "Motor overload"),
                                        alarm(2, "10:41:03", "Pressure low", "Below 2 bar")}
            << false << "3 alarms: Pump 3 stopped (+2 more)"
            << "3 alarms, accepted from 10:41:02 to 10:41:05:\n\n"
               "10:41:02  Pump 3 stopped\nMotor overload\n\n"
               "10:41:03  Pressure low\nBelow 2 bar\n\n"
               "10:41:05  Flow low\nFlow 0 l/min\n\n";
        QTest::newRow("identical alarms folded where the first stands")
            << std::vector<DigestAlarm>{alarm(1, "10:41:02", "Pressure low", "Below 2 bar"),
                                        alarm(2, "10:41:03", "Pump 3 stopped", "Motor overload"),
                                        alarm(3, "10:41:05", "Pressure low", "Below 2 bar"),
                                        alarm(4, "10:41:09", "Pressure low", "Below 2 bar"),
                                        alarm(5, "10:41:09", "Pressure low", "Below 1 bar")}
            << false << "5 alarms: Pressure low (+4 more)"
            << "5 alarms, accepted from 10:41:02 to 10:41:09:\n\n"
               "\u00D73, 10:41:02 to 10:41:09  Pressure low\nBelow 2 bar\n\n"
               "10:41:03  Pump 3 stopped\nMotor overload\n\n"
               "10:41:09  Pressure low\nBelow 1 bar\n\n";
        QTest::newRow("a subject's line break cannot start a line of its own")
            << std::vector<DigestAlarm>{alarm(1, "10:41:02", "Pump\r\n10:41:03  All clear", "stopped"),
                                        alarm(2, "10:41:03", "Flow low", "Line 1\nLine 2")}
            << false << "2 alarms: Pump  10:41:03  All clear (+1 more)"
            << "2 alarms, accepted from 10:41:02 to 10:41:03:\n\n"
               "10:41:02  Pump  10:41:03  All clear\nstopped\n\n"
               "10:41:03  Flow low\nLine 1\nLine 2\n\n";
        QTest::newRow("text in any script")
            << std::vector<DigestAlarm>{alarm(1, "10:41:02", "K\u00FChlwasser \U0001F321", "95 \u00B0C"),
                                        alarm(2, "10:41:03", "\u51B7\u5374\u6C34", "\u6E29\u5EA6\u9AD8")}
            << false << "2 alarms: K\u00FChlwasser \U0001F321 (+1 more)"
            << "2 alarms, accepted from 10:41:02 to 10:41:03:\n\n"
               "10:41:02  K\u00FChlwasser \U0001F321\n95 \u00B0C\n\n"
               "10:41:03  \u51B7\u5374\u6C34\n\u6E29\u5EA6\u9AD8\n\n";
        QTest::newRow("html: our words escaped, the alarm's HTML kept")
            << std::vector<DigestAlarm>{alarm(1, "10:41:02", "Tank <3> & pump", "<b>High</b>"),
                                        alarm(2, "10:41:03", "Flow low", "<i>0</i>")}
            << true << "2 alarms: Tank <3> & pump (+1 more)"
            << "<p>2 alarms, accepted from 10:41:02 to 10:41:03:</p>\n"
               "<p><b>10:41:02  Tank &lt;3&gt; &amp; pump</b><br>\n<b>High</b></p>\n"
               "<p><b>10:41:03  Flow low</b><br>\n<i>0</i></p>\n";
        QTest::newRow("across midnight the dates are shown")
            << std::vector<DigestAlarm>{alarm(1, "23:59:58", "Pump 3 stopped", "a", 1),
                                        alarm(2, "00:00:01", "Pump 4 stopped", "b", 2)}
            << false << "2 alarms: Pump 3 stopped (+1 more)"
            << "2 alarms, accepted from 2026-12-01 23:59:58 to 2026-12-02 00:00:01:\n\n"
               "2026-12-01 23:59:58  Pump 3 stopped\na\n\n"
               "2026-12-02 00:00:01  Pump 4 stopped\nb\n\n";
    }

    void saysEveryAlarm()
    {
        QFETCH(std::vector<DigestAlarm>, alarms);
        QFETCH(bool, html);
        QFETCH(QString, subject);
        QFETCH(QString, body);
        const std::vector<Digest> digests = buildDigests(alarms, format(DigestFormat::DefaultMaxBodyBytes, html));
        QCOMPARE(digests.size(), std::size_t(1));
        QCOMPARE(digests[0].subject, subject);
        QCOMPARE(digests[0].body, body);
        QCOMPARE(digests[0].ids.size(), alarms.size());
        QVERIFY(std::is_sorted(digests[0].ids.begin(), digests[0].ids.end()));
    }

    // Split between entries, never inside one; every alarm in exactly one
    // part, in order; each part within the limit unless one entry alone is
    // larger; and no part split early.
    void splitsBySizeNeverCuts_data()
    {
        QTest::addColumn<int>("alarms");
        QTest::addColumn<QString>("text"); // each alarm's text, its number in front
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("split");
        QTest::newRow("300 short alarms in one") << 300 << QString(40, u'x') << DigestFormat::DefaultMaxBodyBytes << false;
        QTest::newRow("3 MB over the 1 MB limit") << 3000 << QString(1000, u'x') << DigestFormat::DefaultMaxBodyBytes << true;
        QTest::newRow("a server's small SIZE") << 40 << QString(300, u'x') << qint64(4000) << true;
        QTest::newRow("non-ASCII counted as encoded") << 200 << QString(300, u'\u00E9') << qint64(100000) << true;
        QTest::newRow("an alarm larger than the limit goes alone") << 3 << QString(5000, u'x') << qint64(2000) << true;
    }

    void splitsBySizeNeverCuts()
    {
        QFETCH(int, alarms);
        QFETCH(QString, text);
        QFETCH(qint64, limit);
        QFETCH(bool, split);
        std::vector<DigestAlarm> input;
        for (int i = 1; i <= alarms; ++i)
            input.push_back(alarm(std::uint64_t(i), "10:41:02", QStringLiteral("alarm %1").arg(i),
                                  QString::number(i) + text));
        const std::vector<Digest> digests = buildDigests(input, format(limit));
        QCOMPARE(digests.size() > 1, split);

        std::uint64_t next = 1;
        for (std::size_t p = 0; p < digests.size(); ++p) {
            const Digest &digest = digests[p];
            QCOMPARE(digest.bodyBytes, encoded(digest.body + (digest.ids.size() == 1 ? "\n" : "")));
            QVERIFY2(digest.bodyBytes <= limit || digest.ids.size() == 1, qPrintable(QString::number(digest.bodyBytes)));
            qsizetype at = 0; // each alarm whole, in order
            for (const std::uint64_t id : digest.ids) {
                QCOMPARE(id, next++);
                if (digest.ids.size() > 1) {
                    const QString heading = QStringLiteral("  alarm %1\n").arg(id);
                    at = digest.body.indexOf(heading, at);
                    QVERIFY(at >= 0);
                    at += heading.size();
                }
                QVERIFY(QStringView(digest.body).mid(at).startsWith(QString::number(id) + text));
            }
            if (digest.ids.size() > 1 && digests.size() > 1) // "40 alarms, ... (digest 2 of 3):"
                QVERIFY(digest.body.section(u'\n', 0, 0).startsWith(QStringLiteral("%1 alarms").arg(digest.ids.size()))
                        && digest.body.section(u'\n', 0, 0).contains(QStringLiteral("(digest %1 of %2)").arg(p + 1).arg(digests.size())));
            // The next part's first alarm would not have fitted in this one.
            if (p + 1 < digests.size()) {
                const std::uint64_t following = digests[p + 1].ids.front();
                const qint64 alone = encoded(QStringLiteral("10:41:02  alarm %1\n%1%2\n\n").arg(following).arg(text));
                QVERIFY(digest.bodyBytes + alone > limit - 256);
            }
        }
        QCOMPARE(next, std::uint64_t(alarms) + 1);
    }

    void subjectStaysWithinHeaderLimits_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("shortened");
        QTest::newRow("short") << QStringLiteral("Pump 3 stopped") << false;
        QTest::newRow("ASCII without spaces") << QString(500, u'P') << true;
        QTest::newRow("long words") << QStringLiteral("Pressure low on line 4 ").repeated(20) << true;
        QTest::newRow("umlauts") << QString(300, u'\u00FC') << true;
        // Characters of two UTF-16 units each: a cut must not split one.
        QTest::newRow("outside the BMP") << QStringLiteral("\U0001F321").repeated(150) << true;
        QTest::newRow("line breaks") << QStringLiteral("Pump\r\nstopped") << false;
    }

    void subjectStaysWithinHeaderLimits()
    {
        QFETCH(QString, first);
        QFETCH(bool, shortened);
        const QString subject = digestSubject(1234, first);
        QVERIFY(subject.startsWith(QStringLiteral("1234 alarms: ")));
        QVERIFY(subject.endsWith(QStringLiteral(" (+1233 more)")));
        QVERIFY(subject.size() <= MaxDigestSubject);
        QCOMPARE(subject.contains(QStringLiteral("... (+1233")), shortened);
        QVERIFY(!subject.contains(u'\r') && !subject.contains(u'\n'));
        QVERIFY(!subject.toUtf8().contains("\xEF\xBF\xBD")); // no half character
        // Encoded as any subject is, every header line stays within 998 bytes.
        for (const QByteArray &line : mail::encodeHeaderText(subject, 9).split('\n'))
            QVERIFY2(line.size() <= 998, line.constData());
    }

    void logLineNamesEveryQueueTime()
    {
        const std::vector<qint64> times{alarm(1, "10:41:02", "", "").queuedAtMs, alarm(2, "10:41:05", "", "").queuedAtMs,
                                        alarm(3, "10:41:09", "", "").queuedAtMs};
        QCOMPARE(digestLogLine(times, Utc), QStringLiteral("Digest of 3 alarms queued at 10:41:02, 10:41:05, 10:41:09"));
    }
};

QTEST_GUILESS_MAIN(DigestBuilderTest)
#include "tst_digest_builder.moc"
