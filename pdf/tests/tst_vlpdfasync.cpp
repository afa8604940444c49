#include "pdffixtures.h"

#include <VlExclusiveLocker.h>
#include <VlPdf.h>
#include <VlPdfAsync.h>

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace Vela;

namespace {

const int TIMEOUT_MS = 10000;

bool waitForCount(const QSignalSpy &spy, int count)
{
    return spy.count() >= count
        || QTest::qWaitFor([&] { return spy.count() >= count; }, TIMEOUT_MS);
}

// Every signal of one object, in the order it arrived, as "name:uri:page" or "name:message".
class Recorder : public QObject
{
public:
    explicit Recorder(VlPdfAsync *pdf)
    {
        connect(pdf, &VlPdfAsync::opened, this, [this](const QString &uri) { add("opened", uri); });
        connect(pdf, &VlPdfAsync::closed, this, [this](const QString &uri) { add("closed", uri); });
        connect(pdf, &VlPdfAsync::rendered, this,
            [this](const QString &uri, int page) { add("rendered", uri, page); });
        connect(pdf, &VlPdfAsync::aborted, this,
            [this](const QString &uri, int page) { add("aborted", uri, page); });
        connect(pdf, &VlPdfAsync::failedToOpen, this, [this](const VlPdfAsync::Error &error) {
            add("failedToOpen", error.uri, error.pageIndex, error.message);
        });
        connect(pdf, &VlPdfAsync::failedToRender, this, [this](const VlPdfAsync::Error &error) {
            add("failedToRender", error.uri, error.pageIndex, error.message);
        });
    }

    bool waitForSize(int size)
    {
        return events.size() >= size
            || QTest::qWaitFor([&] { return events.size() >= size; }, TIMEOUT_MS);
    }

    QStringList events;

private:
    void add(const char *name, const QString &uri, int page = -1, const QString &message = {})
    {
        QString event = QString::fromLatin1(name) + ':' + QFileInfo(uri).fileName();
        if (page >= 0)
            event += ':' + QString::number(page);
        if (!message.isEmpty())
            event += ':' + message;
        events.append(event);
    }
};

} // namespace

class tst_VlPdfAsync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void openAndRender_data();
    void openAndRender();
    void failuresCarryTheirTexts_data();
    void failuresCarryTheirTexts();
    void abortWhileWaitingForKeyStoresNothing();
    void requestsDuringKeyWaitRunInOrder();
    void frontWithoutWorkerDropsRequests();
    void quitThreadFinishesOnce();
    void destroyingFrontStopsWaitingWorker();
    void deletionDuringKeyWaitDropsTheRender_data();
    void deletionDuringKeyWaitDropsTheRender();
    void deletionFromOwnSignalEndsTheRequest_data();
    void deletionFromOwnSignalEndsTheRequest();
    void renderLimitFollowsTheSetting_data();
    void renderLimitFollowsTheSetting();
    void renderersShareThePdfLibrary();

private:
    std::unique_ptr<VlPdfAsync> make(bool threaded);

    QTemporaryDir m_dir;
    QString m_pdf;
    QString m_other;
    QString m_garbage;
    QString m_hugePage;
};

void tst_VlPdfAsync::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_pdf = m_dir.filePath(QStringLiteral("four.pdf"));
    QVERIFY(PdfFixtures::writePdf(
        m_pdf, {QSizeF(612, 792), QSizeF(800, 600), QSizeF(400, 300), QSizeF(300, 300)}));
    m_other = m_dir.filePath(QStringLiteral("two.pdf"));
    QVERIFY(PdfFixtures::writePdf(m_other, {QSizeF(200, 100), QSizeF(100, 200)}));
    m_garbage = m_dir.filePath(QStringLiteral("garbage.pdf"));
    QFile garbage(m_garbage);
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(2048, 'x'));
    m_hugePage = QStringLiteral(VELA_REGRESSIONS_DIR "/fuzz_pdf/huge-page.pdf");
    QVERIFY(QFileInfo(m_hugePage).size() < 128);
}

// The same assertions run through the synchronous worker and through the real thread.
static void addWorkerForms()
{
    QTest::addColumn<bool>("threaded");
    QTest::newRow("synchronous worker") << false;
    QTest::newRow("thread") << true;
}

std::unique_ptr<VlPdfAsync> tst_VlPdfAsync::make(bool threaded)
{
    if (!threaded)
        return std::make_unique<VlPdfAsync>(nullptr, true);
    auto front = std::make_unique<VlPdfAsync>();
    QSignalSpy started(front.get(), &VlPdfAsync::threadStarted);
    front->startThread();
    if (!waitForCount(started, 1))
        return nullptr;
    return front;
}

void tst_VlPdfAsync::openAndRender_data()
{
    addWorkerForms();
}

void tst_VlPdfAsync::openAndRender()
{
    QFETCH(bool, threaded);
    auto pdf = make(threaded);
    QVERIFY(pdf);
    QCOMPARE(pdf->isRunning(), threaded);
    Recorder recorder(pdf.get());

    pdf->open(m_pdf);
    QVERIFY(recorder.waitForSize(2));
    QCOMPARE(recorder.events, QStringList({"closed:", "opened:four.pdf"}));
    QString uri;
    QVERIFY(pdf->isOpened(&uri));
    QCOMPARE(uri, m_pdf);
    QCOMPARE(pdf->uri(), m_pdf);
    QCOMPARE(pdf->pageCount(), 4);

    // A slot that takes the image as soon as it is announced, in the emitting thread for the
    // synchronous form.
    std::shared_ptr<QImage> taken;
    auto connection = connect(pdf.get(), &VlPdfAsync::rendered, this,
        [&](const QString &, int page) { taken = pdf->takePageImage(page); });
    pdf->render(2, QSize());
    QVERIFY(recorder.waitForSize(3));
    disconnect(connection);
    QCOMPARE(recorder.events.at(2), QStringLiteral("rendered:four.pdf:2"));
    QVERIFY(taken);
    QCOMPARE(taken->size(), QSize(400, 300));
    QVERIFY(!pdf->takePageImage(2));

    // A newer render of a page replaces the image nobody took.
    pdf->render(3, QSize());
    pdf->render(3, QSize(50, 60));
    QVERIFY(recorder.waitForSize(5));
    QCOMPARE(recorder.events.mid(3), QStringList({"rendered:four.pdf:3", "rendered:four.pdf:3"}));
    const auto image = pdf->takePageImage(3);
    QVERIFY(image);
    QCOMPARE(image->size(), QSize(50, 50));
    QVERIFY(!pdf->takePageImage(3));
    QVERIFY(!pdf->isRendering());

    // The path already open is opened again without a close.
    pdf->open(m_pdf);
    QVERIFY(recorder.waitForSize(6));
    QCOMPARE(recorder.events.at(5), QStringLiteral("opened:four.pdf"));

    // An empty uri means the current one; the close reports the uri held at that moment.
    pdf->setUri(m_other);
    pdf->open(QString());
    QVERIFY(recorder.waitForSize(8));
    QCOMPARE(recorder.events.mid(6), QStringList({"closed:two.pdf", "opened:two.pdf"}));
    QCOMPARE(pdf->pageCount(), 2);

    pdf->close();
    QVERIFY(recorder.waitForSize(9));
    QCOMPARE(recorder.events.at(8), QStringLiteral("closed:two.pdf"));
    QCOMPARE(pdf->pageCount(), 0);
    QVERIFY(!pdf->isOpened(nullptr));
    QCOMPARE(pdf->uri(), m_other);
}

void tst_VlPdfAsync::failuresCarryTheirTexts_data()
{
    addWorkerForms();
}

void tst_VlPdfAsync::failuresCarryTheirTexts()
{
    QFETCH(bool, threaded);
    auto pdf = make(threaded);
    QVERIFY(pdf);
    Recorder recorder(pdf.get());

    pdf->render(1, QSize());
    pdf->open(QString());
    pdf->open(m_garbage);
    QVERIFY(recorder.waitForSize(4));
    QCOMPARE(recorder.events,
        QStringList({"failedToRender::1:The PDF has not been opened.",
            "failedToOpen::0:Specified path is empty.",
            "closed:", "failedToOpen:garbage.pdf:0:Failed to open the PDF."}));
    QVERIFY(!pdf->isOpened(nullptr));
    QCOMPARE(pdf->pageCount(), 0);
    recorder.events.clear();

    pdf->open(m_pdf);
    pdf->render(5, QSize());
    pdf->close();
    pdf->render(0, QSize());
    QVERIFY(recorder.waitForSize(5));
    QCOMPARE(recorder.events.at(1), QStringLiteral("opened:four.pdf"));
    QVERIFY2(recorder.events.at(2).startsWith("failedToRender:four.pdf:5:An error occured. "),
        qPrintable(recorder.events.at(2)));
    QCOMPARE(recorder.events.at(3), QStringLiteral("closed:four.pdf"));
    // A closed document is not drawn from.
    QCOMPARE(recorder.events.at(4),
        QStringLiteral("failedToRender:four.pdf:0:The PDF has not been opened."));
    QVERIFY(!pdf->takePageImage(0));
    recorder.events.clear();

    // A page whose natural size would take gigabytes is refused before anything is
    // allocated; the same page fitted into a modest size is drawn.
    pdf->open(m_hugePage);
    pdf->render(0, QSize());
    pdf->render(0, QSize(100, 50));
    QVERIFY(recorder.waitForSize(4));
    QCOMPARE(recorder.events.mid(2),
        QStringList({"failedToRender:huge-page.pdf:0:An error occured. The page is too large "
                     "to render at 30000x30000 pixels: more than the limit of 268435456 bytes.",
            "rendered:huge-page.pdf:0"}));
    QCOMPARE(pdf->takePageImage(0)->size(), QSize(50, 50));
}

void tst_VlPdfAsync::abortWhileWaitingForKeyStoresNothing()
{
    auto front = make(true);
    QVERIFY(front);
    Recorder recorder(front.get());
    front->open(m_pdf);
    QVERIFY(recorder.waitForSize(2));

    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    front->render(0, QSize(100, 100));
    QTRY_VERIFY_WITH_TIMEOUT(front->isRendering(), TIMEOUT_MS);
    front->abort();
    QTRY_VERIFY_WITH_TIMEOUT(front->isAborted(), TIMEOUT_MS);
    QCOMPARE(recorder.events.size(), 2);
    VlExclusiveLocker::unlock(m_pdf);

    QVERIFY(recorder.waitForSize(3));
    QCOMPARE(recorder.events.at(2), QStringLiteral("aborted:four.pdf:0"));
    QVERIFY(!front->takePageImage(0));
    // The worker gave its key back.
    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    VlExclusiveLocker::unlock(m_pdf);

    // The next render starts afresh.
    front->render(0, QSize(100, 100));
    QVERIFY(recorder.waitForSize(4));
    QCOMPARE(recorder.events.at(3), QStringLiteral("rendered:four.pdf:0"));
    QVERIFY(!front->isAborted());
}

void tst_VlPdfAsync::requestsDuringKeyWaitRunInOrder()
{
    auto front = make(true);
    QVERIFY(front);
    Recorder recorder(front.get());
    front->open(m_pdf);
    QVERIFY(recorder.waitForSize(2));

    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    front->render(0, QSize(40, 40));
    QTRY_VERIFY_WITH_TIMEOUT(front->isRendering(), TIMEOUT_MS);
    // Delivered while the render above waits for the key.
    front->render(1, QSize(40, 40));
    front->open(m_other);
    front->render(1, QSize(40, 40));
    front->close();
    QTRY_VERIFY_WITH_TIMEOUT(front->isRendering(), TIMEOUT_MS);
    QCOMPARE(recorder.events.size(), 2);
    VlExclusiveLocker::unlock(m_pdf);

    QVERIFY(recorder.waitForSize(8));
    QCOMPARE(recorder.events.mid(2),
        QStringList({"rendered:four.pdf:0", "rendered:four.pdf:1", "closed:four.pdf",
            "opened:two.pdf", "rendered:two.pdf:1", "closed:two.pdf"}));
    QCOMPARE(front->takePageImage(1)->size(), QSize(20, 40));
}

void tst_VlPdfAsync::frontWithoutWorkerDropsRequests()
{
    VlPdfAsync front;
    QSignalSpy requests(&front, &VlPdfAsync::requestRender);
    QSignalSpy opens(&front, &VlPdfAsync::requestOpen);
    QSignalSpy closes(&front, &VlPdfAsync::requestClose);
    QSignalSpy aborts(&front, &VlPdfAsync::requestAbort);
    Recorder recorder(&front);

    front.open(m_pdf);
    front.render(0, QSize());
    front.abort();
    front.close();
    QCoreApplication::processEvents();

    QCOMPARE(requests.count() + opens.count() + closes.count() + aborts.count(), 0);
    QVERIFY(recorder.events.isEmpty());
    QVERIFY(!front.isRunning());
    QVERIFY(!front.isAborted());
    QVERIFY(!front.isOpened(nullptr));
    QCOMPARE(front.pageCount(), 0);
    QVERIFY(!front.takePageImage(0));
    front.setUri(m_pdf);
    QCOMPARE(front.uri(), m_pdf);
}

void tst_VlPdfAsync::quitThreadFinishesOnce()
{
    VlPdfAsync front;
    QSignalSpy started(&front, &VlPdfAsync::threadStarted);
    QSignalSpy finished(&front, &VlPdfAsync::threadFinished);
    Recorder recorder(&front);
    front.startThread();
    front.startThread();
    QVERIFY(waitForCount(started, 1));
    front.open(m_pdf);
    QVERIFY(recorder.waitForSize(2));
    QCOMPARE(started.count(), 1);

    front.quitThread();
    QVERIFY(waitForCount(finished, 1));
    QVERIFY(!front.isRunning());
    QCOMPARE(finished.count(), 1);

    QSignalSpy requests(&front, &VlPdfAsync::requestRender);
    front.render(0, QSize());
    QCOMPARE(requests.count(), 0);
    QVERIFY(!front.takePageImage(0));

    // A new thread after the old one is gone.
    front.startThread();
    QVERIFY(waitForCount(started, 2));
    front.open(m_other);
    QVERIFY(recorder.waitForSize(4));
    QCOMPARE(recorder.events.at(3), QStringLiteral("opened:two.pdf"));
}

void tst_VlPdfAsync::destroyingFrontStopsWaitingWorker()
{
    auto front = make(true);
    QVERIFY(front);
    Recorder recorder(front.get());
    front->open(m_pdf);
    QVERIFY(recorder.waitForSize(2));

    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    front->render(0, QSize());
    QTRY_VERIFY_WITH_TIMEOUT(front->isRendering(), TIMEOUT_MS);
    // Joins the thread although the key is never released to it.
    front.reset();
    QVERIFY(!VlExclusiveLocker::lock(m_pdf));
    VlExclusiveLocker::unlock(m_pdf);
    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    VlExclusiveLocker::unlock(m_pdf);
}

void tst_VlPdfAsync::deletionDuringKeyWaitDropsTheRender_data()
{
    QTest::addColumn<bool>("viaOwner");
    QTest::newRow("worker deleted") << false;
    QTest::newRow("owner deleted") << true;
}

void tst_VlPdfAsync::deletionDuringKeyWaitDropsTheRender()
{
    QFETCH(bool, viaOwner);
    auto *owner = new QObject;
    QPointer<VlPdfAsync> worker = new VlPdfAsync(owner, true);
    Recorder recorder(worker);
    worker->open(m_pdf);
    QCOMPARE(recorder.events.size(), 2);

    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    // The key comes free only once the worker is gone: a render that went on after that would
    // work on freed memory.
    connect(worker, &QObject::destroyed, this, [this] { VlExclusiveLocker::unlock(m_pdf); });
    // A host's timer that fires while the render waits for its key; the deletion it asks for
    // comes due inside the same wait.
    QObject *doomed = viaOwner ? static_cast<QObject *>(owner) : worker.data();
    QTimer::singleShot(0, doomed, [doomed] { doomed->deleteLater(); });
    // Should the deletion never come, the render ends and the test fails instead of hanging.
    QObject watchdog;
    QTimer::singleShot(TIMEOUT_MS, &watchdog, [this] { VlExclusiveLocker::unlock(m_pdf); });
    worker->render(0, QSize(50, 50));

    QVERIFY(!worker);
    QCOMPARE(recorder.events.size(), 2);
    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    VlExclusiveLocker::unlock(m_pdf);
    if (!viaOwner)
        delete owner;
}

void tst_VlPdfAsync::deletionFromOwnSignalEndsTheRequest_data()
{
    QTest::addColumn<bool>("openFirst");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("event");
    QTest::newRow("failedToRender, never opened")
        << false << "render"
        << "failedToRender::0:The PDF has not been opened.";
    QTest::newRow("closed, by opening another file") << true << "open two"
                                                     << "closed:four.pdf";
    QTest::newRow("rendered") << true << "render"
                              << "rendered:four.pdf:0";
    QTest::newRow("opened") << false << "open two"
                            << "opened:two.pdf";
}

// A synchronous worker emits directly; the slot that takes its answer may delete it, and the
// worker must not touch itself after that (ASan reports any write to the freed object).
void tst_VlPdfAsync::deletionFromOwnSignalEndsTheRequest()
{
    QFETCH(bool, openFirst);
    QFETCH(QString, request);
    QFETCH(QString, event);
    QPointer<VlPdfAsync> worker = new VlPdfAsync(nullptr, true);
    Recorder recorder(worker);
    if (openFirst) {
        worker->open(m_pdf);
        QCOMPARE(recorder.events.size(), 2);
        recorder.events.clear();
    }
    // Connected after the recorder, so the event is recorded before the deletion.
    const auto deleteOn
        = [&](auto signal) { connect(worker.data(), signal, this, [&] { delete worker.data(); }); };
    const QString name = event.section(':', 0, 0);
    if (name == "failedToRender")
        deleteOn(&VlPdfAsync::failedToRender);
    else if (name == "closed")
        deleteOn(&VlPdfAsync::closed);
    else if (name == "rendered")
        deleteOn(&VlPdfAsync::rendered);
    else
        deleteOn(&VlPdfAsync::opened);

    if (request == "render")
        worker->render(0, QSize(40, 40));
    else
        worker->open(m_other);

    QVERIFY(!worker);
    // Nothing follows from an object that is gone (an open goes no further than its close).
    QVERIFY(!recorder.events.isEmpty());
    QCOMPARE(recorder.events.last(), event);
    QVERIFY(VlExclusiveLocker::lock(m_pdf));
    VlExclusiveLocker::unlock(m_pdf);
}

void tst_VlPdfAsync::renderLimitFollowsTheSetting_data()
{
    QTest::addColumn<quint64>("limit");
    QTest::addColumn<bool>("drawn");
    // Page 0 of four.pdf at its natural size: 612 x 792 pixels of 4 bytes.
    const quint64 page = 612ull * 792 * 4;
    QTest::newRow("exactly the page") << page << true;
    QTest::newRow("a byte short") << page - 1 << false;
}

void tst_VlPdfAsync::renderLimitFollowsTheSetting()
{
    QFETCH(quint64, limit);
    QFETCH(bool, drawn);
    // The default is what the message of the huge page above names.
    QCOMPARE(VlPdfAsync::maximumRenderBytes(), 256ull * 1024 * 1024);
    struct Restore
    {
        ~Restore() { VlPdfAsync::setMaximumRenderBytes(256ull * 1024 * 1024); }
    } restore;
    // Set in this thread, obeyed by the worker's.
    VlPdfAsync::setMaximumRenderBytes(limit);
    auto front = make(true);
    QVERIFY(front);
    Recorder recorder(front.get());
    front->open(m_pdf);
    front->render(0, QSize());
    QVERIFY(recorder.waitForSize(3));
    QCOMPARE(recorder.events.at(2),
        drawn ? QStringLiteral("rendered:four.pdf:0")
              : QStringLiteral("failedToRender:four.pdf:0:An error occured. The page is too large "
                               "to render at 612x792 pixels: more than the limit of %1 bytes.")
                    .arg(limit));
}

void tst_VlPdfAsync::renderersShareThePdfLibrary()
{
    // Two fronts and a reader-like thread render at the same time for a while; one front and
    // the thread share a file, and so its key.
    const int runMs = 2500;
    // Every key release writes a debug line; thousands of them would only drown the report.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (type != QtDebugMsg)
                previous(type, context, text);
        });
    struct Restore
    {
        ~Restore() { qInstallMessageHandler(previous); }
    } restore;
    QAtomicInt stop(0);
    QAtomicInt directRenders(0);
    QScopedPointer<QThread> direct(QThread::create([&] {
        QFile file(m_pdf);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const auto bytes = std::make_shared<QByteArray>(file.readAll());
        for (int i = 0; !stop.loadAcquire(); ++i) {
            VlPdf pdf;
            VlExclusiveLocker::Locker key(m_pdf);
            QMutexLocker global(VlPdf::globalLocker());
            if (pdf.load(bytes, QString()) && pdf.pageCount() == 4
                && pdf.render(i % 4, QSize(120, 120)))
                directRenders.ref();
            pdf.close();
        }
    }));

    VlPdfAsync first;
    VlPdfAsync second;
    int renders[2] = {0, 0};
    int failures = 0;
    VlPdfAsync *fronts[2] = {&first, &second};
    for (int f = 0; f < 2; ++f) {
        VlPdfAsync *front = fronts[f];
        QSignalSpy started(front, &VlPdfAsync::threadStarted);
        front->startThread();
        QVERIFY(waitForCount(started, 1));
        connect(front, &VlPdfAsync::opened, this, [front] { front->render(0, QSize(150, 150)); });
        connect(front, &VlPdfAsync::rendered, this, [&, front, f](const QString &, int page) {
            if (front->takePageImage(page))
                ++renders[f];
            if (!stop.loadAcquire())
                front->render((page + 1) % front->pageCount(), QSize(150, 150));
        });
        connect(front, &VlPdfAsync::failedToRender, this, [&] { ++failures; });
    }

    direct->start();
    first.open(m_pdf);
    second.open(m_other);
    QTest::qWait(runMs);
    stop.storeRelease(1);
    QVERIFY(direct->wait(TIMEOUT_MS));
    // The front that shares its file with the busy thread may get the key only now.
    QTRY_VERIFY_WITH_TIMEOUT(renders[0] > 0 && renders[1] > 0, TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(!first.isRendering() && !second.isRendering(), TIMEOUT_MS);

    QCOMPARE(failures, 0);
    QVERIFY(directRenders.loadAcquire() > 0);
    qInfo("renders: first %d, second %d, direct %d", renders[0], renders[1],
        directRenders.loadAcquire());
}

QTEST_MAIN(tst_VlPdfAsync)
#include "tst_vlpdfasync.moc"
