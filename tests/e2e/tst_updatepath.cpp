// The update path end to end: a local HTTPS server names a newer release
// whose file lies on a local HTTP server; OperatorVelm offers it, the click
// starts the real Updater, and Updater saves the file under tmp/ of the
// working directory.
#include "operatorvelm.h"
#include "updatelog.h"

#include "localserver.h"
#include "logcapture.h"
#include "logfile.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <tlhelp32.h>
#else
#include <signal.h>
#endif

#include <iterator>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString manifestPath = u"/files/Velm/Version.json"_s;
const QString filePath = u"/files/Velm/OperatorVelm-4.exe"_s;
// The query travels with the address, "=" and "&" included.
const QString fileQuery = u"?build=4&channel=stable"_s;

QByteArray installerBytes()
{
    constexpr qsizetype size = 300 * qsizetype(1024);
    QByteArray bytes;
    bytes.reserve(size);
    for (int i = 0; bytes.size() < size; ++i)
        bytes.append(char(i % 251)); // a period that no power of two divides
    return bytes;
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifdef Q_OS_WIN
using ProcessId = DWORD;

// The running Updater processes, by the program they run. Windows tells no
// other process's working directory; the file landing in tmp/ there does.
QList<ProcessId> updatersIn(const QString &)
{
    const QString program =
        QDir::toNativeSeparators(QFileInfo(QStringLiteral(VELM_UPDATER_PATH)).absoluteFilePath());
    QList<ProcessId> found;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry {};
    entry.dwSize = sizeof(entry);
    for (bool more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t image[MAX_PATH * 2];
        DWORD length = DWORD(std::size(image));
        if (::QueryFullProcessImageNameW(process, 0, image, &length)
            && QString::fromWCharArray(image, int(length)).compare(program, Qt::CaseInsensitive) == 0)
            found.append(entry.th32ProcessID);
        ::CloseHandle(process);
    }
    ::CloseHandle(snapshot);
    return found;
}

void endProcess(ProcessId id)
{
    if (const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
        ::TerminateProcess(process, 1);
        ::CloseHandle(process);
    }
}
#else
using ProcessId = pid_t;

// The Updater processes running in directory, found through /proc.
QList<ProcessId> updatersIn(const QString &directory)
{
    const QString program = QFileInfo(QStringLiteral(VELM_UPDATER_PATH)).canonicalFilePath();
    const QString where = QDir(directory).canonicalPath();
    QList<ProcessId> found;
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const pid_t pid = entry.toInt(&isNumber);
        if (!isNumber)
            continue;
        const QString base = u"/proc/"_s + entry;
        if (QFile::symLinkTarget(base + u"/exe"_s) == program
            && QFile::symLinkTarget(base + u"/cwd"_s) == where)
            found.append(pid);
    }
    return found;
}

QStringList commandLineOf(ProcessId pid)
{
    const QByteArray raw = readFile(u"/proc/%1/cmdline"_s.arg(pid));
    QStringList arguments;
    for (const QByteArray &argument : raw.split('\0'))
        arguments.append(QString::fromUtf8(argument));
    if (!arguments.isEmpty() && arguments.last().isEmpty())
        arguments.removeLast();
    return arguments;
}

void endProcess(ProcessId id)
{
    ::kill(id, SIGKILL);
}
#endif

} // namespace

class TestUpdatePath final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void newerReleaseIsDownloaded();
    void fileMissingOnTheServer();
    void serverDown();

private:
    // Offers the file at fileAddress through the manifest server, clicks
    // the update button and returns once OperatorVelm has quit.
    void clickThroughUpdate(LocalServer &manifestServer, const QString &fileAddress);
    // Waits until Updater has logged its outcome (it then waits in its
    // box), a line with that text, and returns the folder's log: each line
    // after its date.
    QStringList waitForUpdater(const QString &outcome);

    QString startingDirectory;
    std::unique_ptr<QTemporaryDir> workDirectory;
};

void TestUpdatePath::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(VELM_UPDATER_PATH)), VELM_UPDATER_PATH);
    trustTestCertificate();
    startingDirectory = QDir::currentPath();
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

void TestUpdatePath::init()
{
    workDirectory = std::make_unique<QTemporaryDir>();
    QVERIFY(workDirectory->isValid());
    QVERIFY(QDir::setCurrent(workDirectory->path()));
    QFile local(u"version.json"_s);
    QVERIFY(local.open(QIODevice::WriteOnly));
    local.write("{\"Version\": 3}\n");
}

void TestUpdatePath::cleanup()
{
    for (const ProcessId id : updatersIn(workDirectory->path()))
        endProcess(id);
    QTRY_VERIFY_WITH_TIMEOUT(updatersIn(workDirectory->path()).isEmpty(), 5000);
    QVERIFY(QDir::setCurrent(startingDirectory));
    workDirectory.reset();
}

void TestUpdatePath::clickThroughUpdate(LocalServer &manifestServer, const QString &fileAddress)
{
    LocalServer::Response manifest;
    manifest.body = QJsonDocument(QJsonObject {{u"Version"_s, 4}, {u"URL"_s, fileAddress}}).toJson();
    manifestServer.setResponse(manifestPath, manifest);
    QVERIFY(manifestServer.listenTls(trustedCertificate(), trustedKey()));

    const LogCapture quiet;
    const UpdateLog fileLog(u"OperatorVelm"_s);
    OperatorVelm window(manifestServer.url(manifestPath), QStringLiteral(VELM_UPDATER_PATH));
    window.show();
    auto *button = window.findChild<QPushButton *>(u"btnUpdater"_s);
    QVERIFY(button);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 10000);
    QCOMPARE(button->text(), u"Доступно обновление"_s);

    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    deadline.start(10000);
    QTimer::singleShot(0, button, &QPushButton::click);
    QCOMPARE(QCoreApplication::exec(), 0); // OperatorVelm quit after starting Updater

    QTRY_COMPARE_WITH_TIMEOUT(updatersIn(workDirectory->path()).size(), 1, 10000);
#ifndef Q_OS_WIN
    // On Windows the address the file server is asked for stands for it.
    const pid_t updater = updatersIn(workDirectory->path()).first();
    QCOMPARE(commandLineOf(updater).mid(1), QStringList {u"--url="_s + fileAddress});
#endif
}

QStringList TestUpdatePath::waitForUpdater(const QString &outcome)
{
    // The local servers answer from this event loop, so wait while it runs.
    QStringList lines;
    QDeadlineTimer deadline(30000);
    do {
        QTest::qWait(20);
        lines = viewedLines(u"OperatorVelm.log"_s);
        for (QString &line : lines)
            line = line.section(u' ', 2);
    } while (lines.filter(outcome).isEmpty() && !deadline.hasExpired());
    return lines;
}

void TestUpdatePath::newerReleaseIsDownloaded()
{
    VELM_SKIP_WITHOUT_LOCAL_TLS();
    LocalServer fileServer;
    LocalServer::Response installer;
    installer.body = installerBytes();
    installer.pieces = 4;
    fileServer.setResponse(filePath, installer);
    QVERIFY(fileServer.listen());
    const QString fileAddress = fileServer.url(filePath + fileQuery).toString();

    LocalServer manifestServer;
    clickThroughUpdate(manifestServer, fileAddress);
    if (QTest::currentTestFailed())
        return;

    // The update's story as support reads it, the query left out.
    const QString plainAddress = fileServer.url(filePath).toString();
    const QStringList story {
        u"OperatorVelm: This is release 3; the server's is 4, offered at "_s + plainAddress,
        u"OperatorVelm: %1 started for %2"_s.arg(QStringLiteral(VELM_UPDATER_PATH), plainAddress),
        u"Updater: Downloads "_s + plainAddress,
        u"Updater: Saved tmp/OperatorVelm-4.exe, %1 bytes"_s.arg(installer.body.size()),
    };
    const QStringList log = waitForUpdater(u"Updater: Saved "_s);
    QCOMPARE(log.mid(1), story); // after the question
    QCOMPARE(readFile(u"tmp/OperatorVelm-4.exe"_s), installer.body);
    QCOMPARE(QDir(u"tmp"_s).entryList(QDir::Files | QDir::Hidden), QStringList {u"OperatorVelm-4.exe"_s});
    QCOMPARE(fileServer.requests().size(), 1);
    QCOMPARE(fileServer.requests().first().target, (filePath + fileQuery).toUtf8());
}

void TestUpdatePath::fileMissingOnTheServer()
{
    VELM_SKIP_WITHOUT_LOCAL_TLS();
    QVERIFY(QDir().mkdir(u"tmp"_s));
    const QByteArray earlier = "the installer of an earlier update";
    QFile previous(u"tmp/OperatorVelm-4.exe"_s);
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write(earlier);
    previous.close();

    LocalServer fileServer; // knows no file: every request gets 404
    QVERIFY(fileServer.listen());
    LocalServer manifestServer;
    clickThroughUpdate(manifestServer, fileServer.url(filePath).toString());
    if (QTest::currentTestFailed())
        return;

    const QStringList log = waitForUpdater(u"Updater: Download Error: "_s);
    QCOMPARE(log.constLast(), u"Updater: Download Error: ContentNotFoundError (HTTP status 404) at "_s
                                  + fileServer.url(filePath).toString());
    QCOMPARE(fileServer.requests().size(), 1);
    QCOMPARE(readFile(u"tmp/OperatorVelm-4.exe"_s), earlier);
    QCOMPARE(QDir(u"tmp"_s).entryList(QDir::Files | QDir::Hidden), QStringList {u"OperatorVelm-4.exe"_s});
}

void TestUpdatePath::serverDown()
{
    // A port that was free a moment ago: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    OperatorVelm window(QUrl(u"https://127.0.0.1:%1%2"_s.arg(port).arg(manifestPath)),
                        QStringLiteral(VELM_UPDATER_PATH));
    window.show();
    auto *button = window.findChild<QPushButton *>(u"btnUpdater"_s);
    QVERIFY(button);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), u"Версия актуальна"_s, 10000);
    QVERIFY(!button->isEnabled());
    QVERIFY(updatersIn(workDirectory->path()).isEmpty());
    QVERIFY(!QDir(u"tmp"_s).exists());
}

QTEST_MAIN(TestUpdatePath)
#include "tst_updatepath.moc"
