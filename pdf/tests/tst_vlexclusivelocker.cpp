#include <VlExclusiveLocker.h>

#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QtTest>

#include <type_traits>

using namespace Vela;

namespace {

// Debug lines with the thread that wrote them; the locker reports through qDebug only.
struct Line
{
    Qt::HANDLE thread;
    QString text;
};

QMutex linesMutex;
QList<Line> lines;
QtMessageHandler previousHandler = nullptr;

// Set by a test: the next "unlocked." line makes the handler try the registry from another
// thread, as an application's handler that hands its lines to another thread would.
QAtomicInt probeOnUnlock(0);
QThread *prober = nullptr;
bool proberFinishedInHandler = false;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && text == QLatin1String("unlocked.")
        && probeOnUnlock.testAndSetOrdered(1, 0)) {
        prober = QThread::create([] { VlExclusiveLocker::lock(QStringLiteral("probe")); });
        prober->start();
        proberFinishedInHandler = prober->wait(3000);
    }
    if (type == QtDebugMsg) {
        QMutexLocker locker(&linesMutex);
        lines.append({QThread::currentThreadId(), text});
        return;
    }
    previousHandler(type, context, text);
}

QStringList linesOf(Qt::HANDLE thread)
{
    QMutexLocker locker(&linesMutex);
    QStringList texts;
    for (const Line &line : qAsConst(lines)) {
        if (line.thread == thread)
            texts.append(line.text);
    }
    return texts;
}

void clearLines()
{
    QMutexLocker locker(&linesMutex);
    lines.clear();
}

} // namespace

class tst_VlExclusiveLocker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void lockIsExactAndCaseSensitive_data();
    void lockIsExactAndCaseSensitive();
    void unlockOfFreeKeyOnlyReports();
    void lockerHoldsForItsScope();
    void lockerDoesNotWaitAndFreesForEveryone();
    void nestedLockersEndWithTheInnerOne();
    void lockerIsNotCopyable();
    void waitOnFreeKeyReturnsAtOnceSilently();
    void waitReturnsWhenOtherThreadUnlocks();
    void waitProcessesEventsOfItsThread();
    void unlockReportsWithoutHoldingTheRegistry();
};

void tst_VlExclusiveLocker::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordMessage);
}

void tst_VlExclusiveLocker::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void tst_VlExclusiveLocker::init()
{
    clearLines();
}

void tst_VlExclusiveLocker::lockIsExactAndCaseSensitive_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("other");
    QTest::addColumn<bool>("otherIsFree");

    QTest::newRow("same key") << "/docs/a.pdf"
                              << "/docs/a.pdf" << false;
    QTest::newRow("other case") << "/docs/a.pdf"
                                << "/docs/A.pdf" << true;
    QTest::newRow("trailing space") << "/docs/a.pdf"
                                    << "/docs/a.pdf " << true;
    QTest::newRow("prefix") << "/docs/a.pdf"
                            << "/docs/a" << true;
    QTest::newRow("empty key") << ""
                               << "" << false;
}

void tst_VlExclusiveLocker::lockIsExactAndCaseSensitive()
{
    QFETCH(QString, held);
    QFETCH(QString, other);
    QFETCH(bool, otherIsFree);

    QVERIFY(VlExclusiveLocker::lock(held));
    QVERIFY(!VlExclusiveLocker::lock(held));
    QCOMPARE(VlExclusiveLocker::lock(other), otherIsFree);
    if (otherIsFree)
        VlExclusiveLocker::unlock(other);
    VlExclusiveLocker::unlock(held);
    QVERIFY(VlExclusiveLocker::lock(held));
    VlExclusiveLocker::unlock(held);
}

void tst_VlExclusiveLocker::unlockOfFreeKeyOnlyReports()
{
    VlExclusiveLocker::unlock(QStringLiteral("never locked"));
    QCOMPARE(linesOf(QThread::currentThreadId()), QStringList {"unlocked."});
    QVERIFY(VlExclusiveLocker::lock(QStringLiteral("never locked")));
    VlExclusiveLocker::unlock(QStringLiteral("never locked"));
}

void tst_VlExclusiveLocker::lockerHoldsForItsScope()
{
    const QString key = QStringLiteral("scope");
    {
        VlExclusiveLocker::Locker locker(key);
        QCOMPARE(locker.key(), key);
        QVERIFY(!VlExclusiveLocker::lock(key));
    }
    QVERIFY(VlExclusiveLocker::lock(key));
    VlExclusiveLocker::unlock(key);
}

void tst_VlExclusiveLocker::lockerDoesNotWaitAndFreesForEveryone()
{
    const QString key = QStringLiteral("shared");
    QVERIFY(VlExclusiveLocker::lock(key));
    {
        VlExclusiveLocker::Locker locker(key);
        QVERIFY(!VlExclusiveLocker::lock(key));
    }
    // The other party's hold went with the Locker.
    QVERIFY(VlExclusiveLocker::lock(key));
    VlExclusiveLocker::unlock(key);
}

void tst_VlExclusiveLocker::nestedLockersEndWithTheInnerOne()
{
    const QString key = QStringLiteral("nested");
    VlExclusiveLocker::Locker outer(key);
    {
        VlExclusiveLocker::Locker inner(key);
        QVERIFY(!VlExclusiveLocker::lock(key));
    }
    QVERIFY(VlExclusiveLocker::lock(key));
    // outer releases it again at the end of the scope.
}

void tst_VlExclusiveLocker::lockerIsNotCopyable()
{
    QVERIFY(!std::is_copy_constructible<VlExclusiveLocker::Locker>::value);
    QVERIFY(!std::is_copy_assignable<VlExclusiveLocker::Locker>::value);
}

void tst_VlExclusiveLocker::waitOnFreeKeyReturnsAtOnceSilently()
{
    VlExclusiveLocker::waitUntilLock(QStringLiteral("free"));
    QVERIFY(linesOf(QThread::currentThreadId()).isEmpty());
    QVERIFY(!VlExclusiveLocker::lock(QStringLiteral("free")));
    VlExclusiveLocker::unlock(QStringLiteral("free"));
}

void tst_VlExclusiveLocker::waitReturnsWhenOtherThreadUnlocks()
{
    const QString key = QStringLiteral("/docs/held.pdf");
    QVERIFY(VlExclusiveLocker::lock(key));

    QAtomicPointer<void> waiterId(nullptr);
    QAtomicInt done(0);
    QScopedPointer<QThread> waiter(QThread::create([&] {
        waiterId.storeRelease(QThread::currentThreadId());
        VlExclusiveLocker::waitUntilLock(key);
        done.storeRelease(1);
    }));
    waiter->start();

    QTRY_VERIFY_WITH_TIMEOUT(
        waiterId.loadAcquire() && linesOf(waiterId.loadAcquire()).size() >= 4, 5000);
    QCOMPARE(done.loadAcquire(), 0);
    VlExclusiveLocker::unlock(key);
    QVERIFY(waiter->wait(5000));
    QCOMPARE(done.loadAcquire(), 1);

    // Now the waiter holds it.
    QVERIFY(!VlExclusiveLocker::lock(key));
    VlExclusiveLocker::unlock(key);

    const QStringList texts = linesOf(waiterId.loadAcquire());
    QVERIFY(texts.size() >= 5);
    QCOMPARE(texts.size() % 2, 1);
    for (int i = 0; i + 1 < texts.size(); i += 2) {
        QCOMPARE(texts.at(i), QStringLiteral("_waitUntilLock...."));
        QCOMPARE(texts.at(i + 1), QStringLiteral("_waitUntilLock....sleep out."));
    }
    QCOMPARE(texts.last(), QStringLiteral("_waitUntilLock...unlocked"));
}

void tst_VlExclusiveLocker::waitProcessesEventsOfItsThread()
{
    // A thread waiting for a key it holds itself is freed by its own pending events.
    const QString key = QStringLiteral("self");
    QVERIFY(VlExclusiveLocker::lock(key));
    QTimer::singleShot(0, this, [key] { VlExclusiveLocker::unlock(key); });
    VlExclusiveLocker::waitUntilLock(key);
    QVERIFY(!VlExclusiveLocker::lock(key));
    VlExclusiveLocker::unlock(key);
    QVERIFY(linesOf(QThread::currentThreadId()).contains("_waitUntilLock...unlocked"));
}

void tst_VlExclusiveLocker::unlockReportsWithoutHoldingTheRegistry()
{
    QVERIFY(VlExclusiveLocker::lock(QStringLiteral("held")));
    probeOnUnlock.storeRelease(1);
    VlExclusiveLocker::unlock(QStringLiteral("held"));
    QVERIFY(prober);
    // Finishes in any case once the unlock is over; it must have done so within the handler.
    QVERIFY(prober->wait(5000));
    delete prober;
    prober = nullptr;
    QVERIFY(proberFinishedInHandler);
    QVERIFY(!VlExclusiveLocker::lock(QStringLiteral("probe")));
    VlExclusiveLocker::unlock(QStringLiteral("probe"));
}

QTEST_GUILESS_MAIN(tst_VlExclusiveLocker)
#include "tst_vlexclusivelocker.moc"
