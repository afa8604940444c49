// PDF pages drawn by render processes: their confinement and every way one can fail.
#include <VlContentReader.h>

#include "testpdf.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/types.h>

using namespace Vela;

namespace {

const QString stoppedMessage = QStringLiteral("The PDF renderer stopped while drawing this page.");
const QString timedOutMessage
    = QStringLiteral("The PDF renderer did not finish this page in time.");
const QString notStartedMessage = QStringLiteral("The PDF renderer could not be started.");

struct ProcessInfo
{
    int pid = 0;
    int parent = 0;
    char state = '?';
    QByteArray name;
    qint64 ticks = 0; // user and system time
};

ProcessInfo processInfo(int pid)
{
    ProcessInfo info;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return info;
    const QByteArray line = stat.readAll();
    const int open = line.indexOf('(');
    const int close = line.lastIndexOf(')');
    if (open < 0 || close < open)
        return info;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return info;
    info.pid = pid;
    info.name = line.mid(open + 1, close - open - 1);
    info.state = fields.at(0).at(0);
    info.parent = fields.at(1).toInt();
    info.ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return info;
}

// The render processes whose parent is pid, zombies included when asked.
QList<int> hostsOf(qint64 pid, bool withZombies = false)
{
    QList<int> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const int candidate = entry.toInt(&number);
        if (!number)
            continue;
        const ProcessInfo info = processInfo(candidate);
        if (info.parent == pid && info.name.startsWith("vela-pdf-host")
            && (withZombies || info.state != 'Z'))
            found << candidate;
    }
    return found;
}

// True once the process has spent a good fraction of a second of CPU after baseline: it is
// drawing, since an idle render process uses none.
bool waitUntilDrawing(int pid, qint64 baseline)
{
    return QTest::qWaitFor([&] { return processInfo(pid).ticks >= baseline + 30; }, 60000);
}

bool alive(int pid)
{
    const ProcessInfo info = processInfo(pid);
    return info.pid == pid && info.state != 'Z';
}

// Waits until the reader answers uri's page and gives the message ("" for ready).
class Answers : public QObject
{
public:
    Answers()
    {
        VlContentReader *reader = VlContentReader::globalInstance();
        connect(reader, &VlContentReader::readyContent, this, [this](const QString &uri, int page) {
            answers[{uri, page}] << QString();
        });
        connect(reader, &VlContentReader::failedToRead, this,
            [this](const QString &uri, int page, const QString &message) {
                answers[{uri, page}] << message;
            });
    }
    QStringList of(const QString &uri, int page) const { return answers.value({uri, page}); }
    bool wait(const QString &uri, int page, int timeout = 120000)
    {
        return QTest::qWaitFor([&] { return !of(uri, page).isEmpty(); }, timeout);
    }

private:
    QMap<QPair<QString, int>, QStringList> answers;
};

} // namespace

class tst_VlContentReaderPdfHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void runningProcessIsConfined();
    void failuresAnsweredOnceThenNextReadSucceeds_data();
    void failuresAnsweredOnceThenNextReadSucceeds();
    void documentThatKilledTwoProcessesIsRefusedUntilItChanges();
    void parentKilledLeavesNoRenderProcess();
    void machinePdfsAndDamagedCorpusReadWithoutHarm();
    void pagesOfChangingSizeShareOneProcess();
    void quitEndsBusyProcessesAndWaits();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    // A page that would keep a render process busy for minutes; variant changes its bytes.
    QString endlessPage(const QString &name, int variant)
    {
        const QString file = path(name);
        if (!QFile::exists(file) && !TestPdf::writeNestedForms(file, 12, 4 + variant))
            return QString();
        return file;
    }
    // Reads page 0 of a fresh small document and expects it drawn.
    void readSucceeds(const QString &name);
    // Kills the idle render processes, so that the next request needs a new one.
    void killIdleHosts();

    QTemporaryDir dir;
    Answers *answers = nullptr;
};

void tst_VlContentReaderPdfHost::initTestCase()
{
    // The reader's debug lines (freed buffers, released files) would drown the log.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QVERIFY(dir.isValid());
    QVERIFY(VlContentReader::globalInstance());
    answers = new Answers();
    VlContentReader::setPdfRenderProcesses(1);
}

void tst_VlContentReaderPdfHost::init()
{
    VlContentReader::setPdfRenderProcesses(1);
    VlContentReader::setPdfRenderTimeout(30000);
    VlContentReader::setPdfRenderMemoryLimit(2ull << 30);
    qunsetenv("VELA_PDF_HOST");
}

void tst_VlContentReaderPdfHost::readSucceeds(const QString &name)
{
    const QString file = path(name);
    QVERIFY(TestPdf::writePdf(file, 2));
    VlContentReader::read(file, 0);
    QVERIFY(answers->wait(file, 0));
    QCOMPARE(answers->of(file, 0), QStringList {QString()});
    const std::shared_ptr<QImage> image = VlContentReader::getImage(file, 0);
    QVERIFY(image);
    QCOMPARE(image->size(), TestPdf::pageSize(0));
    QCOMPARE(image->pixel(image->width() - 1, image->height() - 1), TestPdf::pageColour(0).rgb());
    QCOMPARE(VlContentReader::getContentPageCount(file), 2);
}

void tst_VlContentReaderPdfHost::killIdleHosts()
{
    for (int pid : hostsOf(QCoreApplication::applicationPid()))
        ::kill(pid, SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(hostsOf(QCoreApplication::applicationPid()).isEmpty(), 10000);
}

void tst_VlContentReaderPdfHost::runningProcessIsConfined()
{
    readSucceeds(QStringLiteral("confined.pdf"));
    const QList<int> hosts = hostsOf(QCoreApplication::applicationPid());
    QCOMPARE(hosts.size(), 1);
    QFile status(QStringLiteral("/proc/%1/status").arg(hosts.first()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    QVERIFY2(text.contains("NoNewPrivs:\t1"), text.constData());
    QVERIFY2(text.contains("Seccomp:\t2"), text.constData());
#if !defined(__SANITIZE_ADDRESS__)
    QFile limits(QStringLiteral("/proc/%1/limits").arg(hosts.first()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    const QByteArray table = limits.readAll();
    QVERIFY2(QRegularExpression(QStringLiteral("Max address space\\s+2147483648\\s+2147483648"))
                 .match(QString::fromLatin1(table))
                 .hasMatch(),
        table.constData());
#endif
}

void tst_VlContentReaderPdfHost::failuresAnsweredOnceThenNextReadSucceeds_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("killed by SIGSEGV while drawing") << "segv" << QStringList {stoppedMessage};
    QTest::newRow("stopped past the timeout") << "stop" << QStringList {timedOutMessage};
    QTest::newRow("program missing") << "missing" << QStringList {notStartedMessage};
    // PDFium either fails its allocation (and stops) or keeps trying within what it has.
    QTest::newRow("page beyond the memory limit")
        << "memory" << QStringList {stoppedMessage, timedOutMessage};
}

void tst_VlContentReaderPdfHost::failuresAnsweredOnceThenNextReadSucceeds()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, messages);
    const qint64 self = QCoreApplication::applicationPid();

    // A render process is up and idle.
    readSucceeds(fault + QStringLiteral("-before.pdf"));
    QString file = path(fault + QStringLiteral("-victim.pdf"));
    QVERIFY(TestPdf::writePdf(file, 1));

    if (fault == QLatin1String("segv")) {
        file = endlessPage(QStringLiteral("segv.pdf"), 1);
        const int host = hostsOf(self).value(0);
        QVERIFY(host > 0);
        const qint64 idle = processInfo(host).ticks;
        VlContentReader::read(file, 0);
        QVERIFY(waitUntilDrawing(host, idle));
        ::kill(host, SIGSEGV);
    } else if (fault == QLatin1String("stop")) {
        const int host = hostsOf(self).value(0);
        QVERIFY(host > 0);
        ::kill(host, SIGSTOP);
        VlContentReader::setPdfRenderTimeout(1500);
        VlContentReader::read(file, 0);
    } else if (fault == QLatin1String("missing")) {
        qputenv("VELA_PDF_HOST", path(QStringLiteral("no-such-program")).toLocal8Bit());
        killIdleHosts();
        VlContentReader::read(file, 0);
    } else if (fault == QLatin1String("memory")) {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer builds run render processes without an address space limit");
#endif
        file = endlessPage(QStringLiteral("memory.pdf"), 2);
        VlContentReader::setPdfRenderMemoryLimit(384ull << 20);
        VlContentReader::setPdfRenderTimeout(20000);
        killIdleHosts();
        VlContentReader::read(file, 0);
    }

    QVERIFY(answers->wait(file, 0));
    QCOMPARE(answers->of(file, 0).size(), 1);
    QVERIFY2(
        messages.contains(answers->of(file, 0).first()), qPrintable(answers->of(file, 0).first()));
    QVERIFY(!VlContentReader::getImage(file, 0));

    init();
    readSucceeds(fault + QStringLiteral("-after.pdf"));
    QCOMPARE(answers->of(file, 0).size(), 1);
    // Every process that ended has been reaped.
    const QList<int> left = hostsOf(self, true);
    QVERIFY(left.size() <= 1);
    for (int pid : left)
        QVERIFY(alive(pid));
}

void tst_VlContentReaderPdfHost::documentThatKilledTwoProcessesIsRefusedUntilItChanges()
{
    const QString file = endlessPage(QStringLiteral("refused.pdf"), 3);
    QVERIFY(!file.isEmpty());
    VlContentReader::setPdfRenderTimeout(1000);
    const QStringList expected
        = {timedOutMessage, timedOutMessage, stoppedMessage, timedOutMessage};
    for (int attempt = 0; attempt < expected.size(); ++attempt) {
        if (attempt == 3) {
            // Changed bytes, a new digest: drawn (and timed out) again, not refused.
            QFile::remove(file);
            QVERIFY(TestPdf::writeNestedForms(file, 12, 9));
        }
        const int before = answers->of(file, 0).size();
        VlContentReader::read(file, 0);
        QVERIFY(QTest::qWaitFor([&] { return answers->of(file, 0).size() > before; }, 60000));
        QCOMPARE(answers->of(file, 0).value(before), expected.at(attempt));
    }
    init();
    readSucceeds(QStringLiteral("after-refusal.pdf"));
}

void tst_VlContentReaderPdfHost::parentKilledLeavesNoRenderProcess()
{
    const QString file = endlessPage(QStringLiteral("orphan.pdf"), 4);
    QProcess parent;
    parent.start(QCoreApplication::applicationFilePath(), {"--draw-forever", file});
    QVERIFY(parent.waitForStarted(30000));
    int host = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            host = hostsOf(parent.processId()).value(0);
            return host > 0;
        },
        60000));
    QVERIFY(waitUntilDrawing(host, 0));
    ::kill(pid_t(parent.processId()), SIGKILL);
    QVERIFY(parent.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(!alive(host), 2000);
}

void tst_VlContentReaderPdfHost::machinePdfsAndDamagedCorpusReadWithoutHarm()
{
    VlContentReader::setPdfRenderProcesses(2);
    const QString copies = path(QStringLiteral("corpus"));
    QVERIFY(QDir().mkpath(copies));
    QStringList files;
    // The fuzz corpus and its regressions, and each of them cut short and with bytes flipped.
    for (const char *folder : {"corpus/fuzz_pdf", "regressions/fuzz_pdf"}) {
        QDirIterator it(QStringLiteral(VELA_FUZZ_DIR "/") + folder, QDir::Files);
        while (it.hasNext()) {
            const QString source = it.next();
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            QByteArray flipped = bytes;
            for (int i = 7; i < flipped.size(); i += 97)
                flipped[i] = char(flipped.at(i) ^ 0x5a);
            const QString stem = copies + '/' + QString::fromLatin1(folder).section('/', 0, 0) + '-'
                + QFileInfo(source).completeBaseName();
            const QList<QPair<QString, QByteArray>> variants
                = {{stem + ".pdf", bytes}, {stem + "-cut.pdf", bytes.left(bytes.size() / 2)},
                    {stem + "-flipped.pdf", flipped}};
            for (const auto &variant : variants) {
                QFile out(variant.first);
                QVERIFY(out.open(QIODevice::WriteOnly));
                out.write(variant.second);
                files << variant.first;
            }
        }
    }
    // Every document of the machine's documentation, where there is one.
    QDirIterator docs(QStringLiteral("/usr/share/doc"), {QStringLiteral("*.pdf")}, QDir::Files,
        QDirIterator::Subdirectories);
    while (docs.hasNext())
        files << docs.next();

    for (const QString &file : qAsConst(files)) {
        for (int page : {0, -1})
            VlContentReader::read(file, page);
    }
    for (const QString &file : qAsConst(files)) {
        for (int page : {0, -1}) {
            QVERIFY2(answers->wait(file, page), qPrintable(file));
            QCOMPARE(answers->of(file, page).size(), 1);
        }
    }
    readSucceeds(QStringLiteral("after-corpus.pdf"));
}

void tst_VlContentReaderPdfHost::quitEndsBusyProcessesAndWaits()
{
    readSucceeds(QStringLiteral("before-quit.pdf"));
    const qint64 self = QCoreApplication::applicationPid();
    const int host = hostsOf(self).value(0);
    QVERIFY(host > 0);
    VlContentReader::setPdfRenderTimeout(0);
    const qint64 idle = processInfo(host).ticks;
    VlContentReader::read(endlessPage(QStringLiteral("quit.pdf"), 5), 0);
    QVERIFY(waitUntilDrawing(host, idle));

    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    QSignalSpy destroyed(reader.data(), &QObject::destroyed);
    VlContentReader::quit();
    // Every render process is gone, reaped, as soon as quit() returns.
    QCOMPARE(hostsOf(self, true), QList<int>());
    QVERIFY(destroyed.wait(60000) || reader.isNull());
}

// Run with --draw-forever FILE, the program is a parent that draws an endless page and waits.
void tst_VlContentReaderPdfHost::pagesOfChangingSizeShareOneProcess()
{
    // A small page, one whose canvas is too large to keep (over 64 MiB), small again, then
    // one that makes the kept canvas grow: each must come back whole, at its own size.
    const QList<QSize> sizes {{120, 90}, {4300, 4300}, {130, 95}, {1500, 1200}};
    const QString file = path(QStringLiteral("sizes.pdf"));
    {
        QPdfWriter writer(file);
        writer.setResolution(72);
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter;
        for (int i = 0; i < sizes.size(); ++i) {
            writer.setPageSize(
                QPageSize(QSizeF(sizes.at(i)), QPageSize::Point, QString(), QPageSize::ExactMatch));
            QVERIFY(i == 0 ? painter.begin(&writer) : writer.newPage());
            const QRect page(QPoint(0, 0), sizes.at(i));
            painter.fillRect(
                page.adjusted(page.width() / 2, page.height() / 2, 0, 0), TestPdf::pageColour(i));
        }
        QVERIFY(painter.end());
    }
    for (int i = 0; i < sizes.size(); ++i) {
        VlContentReader::read(file, i);
        QVERIFY(answers->wait(file, i));
        QCOMPARE(answers->of(file, i), QStringList {QString()});
        const std::shared_ptr<QImage> image = VlContentReader::getImage(file, i);
        QVERIFY(image);
        QCOMPARE(image->size(), sizes.at(i));
        QCOMPARE(image->pixel(0, 0), qRgb(255, 255, 255));
        QCOMPARE(
            image->pixel(image->width() - 1, image->height() - 1), TestPdf::pageColour(i).rgb());
        VlContentReader::clearAllCache();
    }
    // The process let the large page's canvas go, and holds no more than the last page needs.
    const QList<int> hosts = hostsOf(QCoreApplication::applicationPid());
    QCOMPARE(hosts.size(), 1);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(hosts.first()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    for (const QByteArray &line : maps.readAll().split('\n')) {
        if (!line.contains("memfd:vela-pdf"))
            continue;
        const QList<QByteArray> range = line.left(line.indexOf(' ')).split('-');
        QCOMPARE(range.size(), 2);
        const qulonglong bytes
            = range.at(1).toULongLong(nullptr, 16) - range.at(0).toULongLong(nullptr, 16);
        QVERIFY2(bytes <= 8ull << 20, line.constData());
    }
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--draw-forever") == 0) {
        QCoreApplication app(argc, argv);
        VlContentReader::setPdfRenderProcesses(1);
        VlContentReader::setPdfRenderTimeout(0);
        VlContentReader::read(QString::fromLocal8Bit(argv[2]), 0);
        return app.exec();
    }
    QGuiApplication app(argc, argv);
    tst_VlContentReaderPdfHost test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vlcontentreader_pdfhost.moc"
