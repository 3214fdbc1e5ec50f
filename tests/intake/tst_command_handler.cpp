#include "intake/IntakeTestSupport.h"
#include "support/TestSupport.h"

#include <QTest>

using namespace corvane;
using namespace corvane::test;

class TestCommandHandler : public QObject, private IntakeChain {
    Q_OBJECT

private slots:
    void init()
    {
        m_lists = RecipientListTable{};
        for (int list = 1; list <= 8; ++list)
            m_lists[list].Addresses[1] = QStringLiteral("list%1@example.com").arg(list);
        buildChain();
    }

    void sendToListQueuesAndAcknowledges()
    {
        // The helper must build what a peer puts on the wire, byte for byte.
        const QByteArray d = datagram("A001", 1, 3, "Alarm~Pump 3 stopped");
        QCOMPARE(d, QByteArray("A001\x01\x03" "Alarm~Pump 3 stopped"));
        QCOMPARE(m_handler->handle(d), std::optional<QByteArray>(QByteArray("A001\x10\x01")));
        QCOMPARE(pending(), 1);
        const QueuedEmail &e = m_queue->emailQueue().at(0);
        QCOMPARE(e.Recipients, QStringLiteral("list3@example.com"));
        QCOMPARE(e.Subject, QStringLiteral("Alarm"));
        QCOMPARE(e.Body, QStringLiteral("Pump 3 stopped"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("A001"));
        QCOMPARE(test::readFiles(m_dir.path(), QStringLiteral(".TXT")).size(), 1);
    }

    void repeatIsOnlyAcknowledged()
    {
        QCOMPARE(m_handler->handle(datagram("ABCD", 1, 1, "s~t")), ack("ABCD"));
        // Lower case, other contents: still the same message, answered with
        // this datagram's own id bytes.
        QCOMPARE(m_handler->handle(datagram("abcd", 1, 2, "other~text")), ack("abcd"));
        QCOMPARE(m_handler->handle(datagram("aBcD", 0, 0, "")), ack("aBcD"));
        QCOMPARE(pending(), 1);
        QCOMPARE(m_handler->lastMessageId(), QByteArray("ABCD"));
    }

    void onlyTheLastIdIsRemembered()
    {
        m_handler->handle(datagram("AAAA", 1, 1, "s~t"));
        m_handler->handle(datagram("BBBB", 1, 1, "s~t"));
        m_handler->handle(datagram("AAAA", 1, 1, "s~t"));
        QCOMPARE(pending(), 3);
    }

    void caseFoldingIsAsciiOnly_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("repeat");
        QTest::newRow("letters") << QByteArray("Zz09") << QByteArray("zZ09") << true;
        QTest::newRow("cp1252 A-umlaut vs a-umlaut") << QByteArray("\xC4xyz") << QByteArray("\xE4xyz") << false;
        QTest::newRow("utf8 E-acute vs e-acute") << QByteArray("\xC3\x89xy") << QByteArray("\xC3\xA9xy") << false;
        QTest::newRow("at and backquote") << QByteArray("@abc") << QByteArray("`abc") << false;
        QTest::newRow("brackets and braces") << QByteArray("[\\]^") << QByteArray("{|}~") << false;
        QTest::newRow("control bytes") << QByteArray("\x01\x02\x03\x04", 4) << QByteArray("\x21\x22\x23\x24", 4) << false;
        QTest::newRow("nul bytes") << QByteArray("\0\0\0\0", 4) << QByteArray("\0\0\0\0", 4) << true;
    }
    void caseFoldingIsAsciiOnly()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(bool, repeat);
        QCOMPARE(CommandHandler::sameId(first, second), repeat);
        m_handler->handle(first + QByteArray("\x01\x01s~t", 5));
        m_handler->handle(second + QByteArray("\x01\x01s~t", 5));
        QCOMPARE(pending(), repeat ? 1 : 2);
    }

    void payloadFields_data()
    {
        QTest::addColumn<int>("list");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("queued");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("text");
        QTest::newRow("third field dropped") << 1 << QByteArray("Subj~Text~extra") << true << "Subj" << "Text";
        QTest::newRow("tilde cuts the text") << 1 << QByteArray("S~before~after~more") << true << "S" << "before";
        QTest::newRow("untrimmed") << 8 << QByteArray(" S ~ T ") << true << " S " << " T ";
        QTest::newRow("list byte is the digit 1") << 49 << QByteArray("S~T") << false << "" << "";
        QTest::newRow("list 0") << 0 << QByteArray("S~T") << false << "" << "";
        QTest::newRow("list 255") << 255 << QByteArray("S~T") << false << "" << "";
        QTest::newRow("no tilde") << 1 << QByteArray("just a subject") << false << "" << "";
        QTest::newRow("empty payload") << 1 << QByteArray() << false << "" << "";
        QTest::newRow("empty subject") << 1 << QByteArray("~text") << false << "" << "";
        QTest::newRow("empty text") << 1 << QByteArray("subject~") << false << "" << "";
        QTest::newRow("only tildes") << 1 << QByteArray("~~~") << false << "" << "";
    }
    void payloadFields()
    {
        QFETCH(int, list);
        QFETCH(QByteArray, payload);
        QFETCH(bool, queued);
        QFETCH(QString, subject);
        QFETCH(QString, text);
        QCOMPARE(m_handler->handle(datagram("P001", 1, list, payload)), ack("P001"));
        QCOMPARE(pending(), queued ? 1 : 0);
        if (queued) {
            QCOMPARE(m_queue->emailQueue().at(0).Subject, subject);
            QCOMPARE(m_queue->emailQueue().at(0).Body, text);
        }
    }

    void otherCommandsAreOnlyAcknowledged_data()
    {
        QTest::addColumn<int>("command");
        QTest::newRow("0") << 0;
        QTest::newRow("2") << 2;
        QTest::newRow("255") << 255;
        QTest::newRow("digit 1") << int('1');
    }
    void otherCommandsAreOnlyAcknowledged()
    {
        QFETCH(int, command);
        QCOMPARE(m_handler->handle(datagram("C001", command, 1, "S~T")), ack("C001"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("C001"));
        QCOMPARE(pending(), 0);
        // The id counts: the same datagram as command 1 right after is a repeat.
        m_handler->handle(datagram("C001", 1, 1, "S~T"));
        QCOMPARE(pending(), 0);
    }

    void shortDatagrams()
    {
        QCOMPARE(m_handler->handle(QByteArray("XY")), ack("XY"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("XY"));
        QCOMPARE(m_handler->handle(QByteArray("WXYZ")), ack("WXYZ"));
        // Command byte present, list byte missing: list 0, nothing queued.
        QCOMPARE(m_handler->handle(QByteArray("LIST\x01")), ack("LIST"));
        QCOMPARE(m_handler->handle(QByteArray("L002\x01\x01", 6)), ack("L002"));
        QCOMPARE(pending(), 0);
        QCOMPARE(m_handler->handle(QByteArray("\0", 1)), ack(QByteArray("\0", 1)));
        // A shorter id is a different id, not a repeat of its prefix.
        QCOMPARE(m_handler->handle(QByteArray("AB")), ack("AB"));
        QCOMPARE(m_handler->handle(QByteArray("ABC")), ack("ABC"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("ABC"));
    }

    void emptyDatagrams()
    {
        const std::optional<QByteArray> bareAck(QByteArray("\x10\x01"));
        // At start the empty id equals the empty last id: a repeat, answered.
        QCOMPARE(m_handler->handle(QByteArray()), bareAck);
        QCOMPARE(m_handler->handle(QByteArray()), bareAck);
        m_handler->handle(QByteArray("ID01"));
        // After an id, the empty datagram is new: it clears the id, no answer.
        QCOMPARE(m_handler->handle(QByteArray()), std::nullopt);
        QCOMPARE(m_handler->lastMessageId(), QByteArray());
        QCOMPARE(m_handler->handle(QByteArray()), bareAck);
        // And the old id is new again.
        m_handler->handle(datagram("ID01", 1, 1, "s~t"));
        QCOMPARE(pending(), 1);
    }

    void rejectedRequestStillTakesTheId()
    {
        m_handler->handle(datagram("R001", 1, 1, "   ~text"));
        QCOMPARE(pending(), 0);
        QCOMPARE(m_handler->handle(datagram("R001", 1, 1, "fixed~text")), ack("R001"));
        QCOMPARE(pending(), 0);
    }

    void textEncodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ascii") << QByteArray("Pump") << QStringLiteral("Pump");
        QTest::newRow("utf-8") << QByteArray("K\xC3\xBChlung \xE2\x82\xAC") << QStringLiteral("K\u00FChlung \u20AC");
        QTest::newRow("cp1252") << QByteArray("K\xFChlung \x80") << QStringLiteral("K\u00FChlung \u20AC");
        QTest::newRow("cp1252 undefined bytes kept") << QByteArray("\x81\x8D\x8F\x90\x9D") << QStringLiteral("\u0081\u008D\u008F\u0090\u009D");
        QTest::newRow("truncated utf-8 falls back") << QByteArray("a\xC3") << QStringLiteral("a\u00C3");
        QTest::newRow("overlong utf-8 falls back") << QByteArray("\xC0\xAF") << QStringLiteral("\u00C0\u00AF");
        QTest::newRow("utf-8 byte order mark kept") << QByteArray("\xEF\xBB\xBFx") << QStringLiteral("\uFEFFx");
        QTest::newRow("nul kept") << QByteArray("a\0b", 3) << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
    }
    void textEncodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(CommandHandler::decodePayloadField(bytes), expected);
        m_handler->handle(datagram("T001", 1, 2, bytes + "~" + bytes));
        QCOMPARE(pending(), 1);
        QCOMPARE(m_queue->emailQueue().at(0).Subject, expected);
        QCOMPARE(m_queue->emailQueue().at(0).Body, expected);
    }

    void subjectAndTextAreDecodedApart()
    {
        m_handler->handle(datagram("M001", 1, 1, "caf\xC3\xA9~caf\xE9"));
        QCOMPARE(m_queue->emailQueue().at(0).Subject, QStringLiteral("caf\u00E9"));
        QCOMPARE(m_queue->emailQueue().at(0).Body, QStringLiteral("caf\u00E9"));
    }

    void overflowIsStillAcknowledged()
    {
        QueuedEmail filler;
        while (m_queue->store(filler)) {
        }
        QCOMPARE(m_queue->emailQueue().pendingCount(), 32701);
        QCOMPARE(m_handler->handle(datagram("O001", 1, 1, "s~t")), ack("O001"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("O001"));
        QVERIFY(test::readFiles(m_dir.path(), QStringLiteral(".TXT")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCommandHandler)
#include "tst_command_handler.moc"
