// The update path end to end: a local HTTPS server names a newer release
// whose file lies on a local HTTP server; OperatorVelm offers it, the click
// starts the real Updater, and Updater saves the file under tmp/ of the
// working directory.
#include "operatorvelm.h"

#include "localserver.h"

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
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <functional>
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

// Sends this process's standard error, and so that of every program it
// starts meanwhile, to a file; Updater's debug lines tell when it is done.
class StandardErrorToFile final
{
    Q_DISABLE_COPY_MOVE(StandardErrorToFile)

public:
    explicit StandardErrorToFile(const QString &name)
        : saved(::dup(STDERR_FILENO))
    {
        const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StandardErrorToFile()
    {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }

private:
    int saved;
};

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
    // Waits until Updater has reached its outcome (it then waits in its box).
    // Its debug lines tell where they reach this process; on Windows they
    // do not, and arrived() decides from what it left and asked for.
    // Returns the lines read, if any.
    QString waitForUpdater(const QString &outcomeLine, const std::function<bool()> &arrived);

    QString startingDirectory;
    std::unique_ptr<QTemporaryDir> workDirectory;
    QString updaterLog;
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
    updaterLog = workDirectory->filePath(u"updater.log"_s);
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

    OperatorVelm window(manifestServer.url(manifestPath), QStringLiteral(VELM_UPDATER_PATH));
    window.show();
    auto *button = window.findChild<QPushButton *>(u"btnUpdater"_s);
    QVERIFY(button);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 10000);
    QCOMPARE(button->text(), u"Доступно обновление"_s);

#ifndef Q_OS_WIN
    StandardErrorToFile redirect(updaterLog);
#endif
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

QString TestUpdatePath::waitForUpdater(const QString &outcomeLine, const std::function<bool()> &arrived)
{
    // The local servers answer from this event loop, so wait while it runs.
    QDeadlineTimer deadline(30000);
#ifdef Q_OS_WIN
    Q_UNUSED(outcomeLine);
    while (!arrived() && !deadline.hasExpired())
        QTest::qWait(20);
    QTest::qWait(1500); // whatever Updater does after that shows by now
    return {};
#else
    Q_UNUSED(arrived);
    while (!QString::fromUtf8(readFile(updaterLog)).contains(outcomeLine) && !deadline.hasExpired())
        QTest::qWait(20);
    return QString::fromUtf8(readFile(updaterLog));
#endif
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

    const QString log = waitForUpdater(u"File downloaded and saved to:"_s, [&] {
        return readFile(u"tmp/OperatorVelm-4.exe"_s) == installer.body;
    });
#ifndef Q_OS_WIN
    QVERIFY2(log.contains(u"File downloaded and saved to:"_s), qPrintable(log));
#endif
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

    const QString log =
        waitForUpdater(u"Error downloading file:"_s, [&] { return fileServer.requests().size() == 1; });
#ifdef Q_OS_WIN
    QCOMPARE(fileServer.requests().size(), 1);
#else
    QVERIFY2(log.contains(u"Error downloading file:"_s), qPrintable(log));
    QVERIFY(!log.contains(u"File downloaded and saved to:"_s));
#endif
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
