// Termination signals become close requests in the event loop.

#include "app/SignalWatcher.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace corvane;

namespace {

bool handlerIsDefault(int signalNumber)
{
    struct sigaction current {};
    ::sigaction(signalNumber, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

} // namespace

class SignalWatcherTest : public QObject {
    Q_OBJECT

private slots:
    void signalsBecomeCloseRequests_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void signalsBecomeCloseRequests()
    {
#ifndef __linux__
        QSKIP("Signals are watched on Linux only.");
#endif
        QFETCH(int, signalNumber);
        SignalWatcher watcher;
        QVERIFY(watcher.isActive());
        QSignalSpy requested(&watcher, &SignalWatcher::closeRequested);
        QCOMPARE(::raise(signalNumber), 0);
        QVERIFY(requested.wait(3000));
        QCOMPARE(requested.count(), 1);
        QCOMPARE(requested.at(0).at(0).toInt(), signalNumber);
    }

    void burstOfSignalsIsNeverLostNorBlocks()
    {
#ifndef __linux__
        QSKIP("Signals are watched on Linux only.");
#endif
        SignalWatcher watcher;
        QSignalSpy requested(&watcher, &SignalWatcher::closeRequested);
        for (int i = 0; i < 50; ++i)
            ::raise(SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 50, 3000);
    }

    void onlyOneWatcherOwnsTheHandlersAndGivesThemBack()
    {
#ifndef __linux__
        QSKIP("Signals are watched on Linux only.");
#endif
        {
            SignalWatcher first;
            SignalWatcher second;
            QVERIFY(first.isActive());
            QVERIFY(!second.isActive());
            QVERIFY(!handlerIsDefault(SIGTERM));
        }
        QVERIFY(handlerIsDefault(SIGTERM));
        QVERIFY(handlerIsDefault(SIGINT));
        QVERIFY(handlerIsDefault(SIGHUP));

        // A new watcher works again after the first has gone.
        SignalWatcher again;
        QVERIFY(again.isActive());
        QSignalSpy requested(&again, &SignalWatcher::closeRequested);
        ::raise(SIGHUP);
        QVERIFY(requested.wait(3000));
    }
};

QTEST_GUILESS_MAIN(SignalWatcherTest)
#include "tst_signal_watcher.moc"
