// The window's update check against a real HTTPS server on 127.0.0.1, and
// the start of the updater from the update button.
#include "operatorvelm.h"
#include "sverka.h"
#include "updatecheck.h"
#include "updatelog.h"

#include "localserver.h"
#include "logcapture.h"
#include "logfile.h"
#include "lookup.h"
#include "manifest.h"
#include "messageboxcatcher.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

// Who answers the manifest request, and how.
enum class Server {
    Trusted,            // the whole body, its length announced
    Untrusted,          // a certificate nobody trusts
    Refused,            // nobody listens
    Unannounced,        // the whole body, ended by closing the connection
    Compressed,         // gzip, although the request asks for the body as stored
    Endless,            // announces 1 GiB, then the body and filler without end
    EndlessUnannounced, // the body and filler without end, no length
    FallsSilent,        // headers and 16 bytes, then nothing on an open connection
    Slow,               // the body in 8 pieces 0.6 s apart, longer in all than the silence limit
    ForgedStatusText,   // the status line's text writes a line of the log's own
};
Q_DECLARE_METATYPE(Server)

namespace {

const QString manifestPath = u"/files/Velm/Version.json"_s;
const QString pending = u"Обновлений нет"_s;
const QString available = u"Доступно обновление"_s;
const QString upToDate = u"Версия актуальна"_s;

// The most of the manifest the check reads.
constexpr qsizetype manifestLimit = qsizetype(64) * 1024;
// The most it may keep: the limit and the one byte that shows a longer manifest.
constexpr qint64 keptBytesLimit = manifestLimit + 1;
// Stands in for the 30 s of the program, so that a silent server ends in seconds.
constexpr std::chrono::milliseconds silenceLimit {2000};

QByteArray manifest(int releaseNumber, const QString &address)
{
    return QJsonDocument(QJsonObject {{u"Version"_s, releaseNumber}, {u"URL"_s, address}}).toJson();
}

// A manifest that offers release 4, padded to exactly size bytes.
QByteArray manifestOfSize(qsizetype size)
{
    QByteArray text = R"({"Version": 4, "URL": "https://127.0.0.1:1/f.exe", "Padding": ""})";
    text.insert(text.size() - 2, QByteArray(size - text.size(), 'x'));
    return text;
}

LocalServer::Response responseOf(Server server, int status, const QByteArray &body)
{
    LocalServer::Response response;
    response.status = status;
    response.body = body;
    if (server == Server::Unannounced || server == Server::EndlessUnannounced)
        response.announcedLength = -2;
    if (server == Server::Compressed)
        response.compression = LocalServer::Compression::Always;
    if (server == Server::Endless)
        response.announcedLength = qint64(1) << 30;
    response.endless = server == Server::Endless || server == Server::EndlessUnannounced;
    if (server == Server::FallsSilent) {
        response.sendOnly = 16;
        response.holdOpen = true;
    }
    if (server == Server::Slow) {
        response.pieces = 8;
        response.pieceIntervalMs = 600;
    }
    if (server == Server::ForgedStatusText)
        response.reason = "Not Found\r2026-12-09 03:00:00 Updater: Saved tmp/forged.exe, 1 bytes";
    return response;
}

bool writeFile(const QString &name, const QByteArray &contents)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// A window whose check asks a plain TCP server, which never answers TLS.
std::unique_ptr<OperatorVelm> windowAsking(const QTcpServer &server)
{
    return std::make_unique<OperatorVelm>(
        QUrl(u"https://127.0.0.1:%1%2"_s.arg(server.serverPort()).arg(manifestPath)),
        u"/nonexistent/Updater"_s);
}

// Counts the application's quit requests, which only reach the application
// object while its event loop runs.
class QuitWatcher final : public QObject
{
public:
    QuitWatcher() { QCoreApplication::instance()->installEventFilter(this); }
    ~QuitWatcher() override { QCoreApplication::instance()->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit)
            ++count;
        return false;
    }
};

// Runs the application's event loop with action queued as its first step;
// leaves it with exit code 1 if nothing else ends it within ten seconds.
int runApplication(const std::function<void()> &action)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    deadline.start(10000);
    QTimer::singleShot(0, qApp, action);
    return QCoreApplication::exec();
}

} // namespace

class TestUpdateCheck final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void outcome_data();
    void outcome();
    void lineRule_data();
    void lineRule();
    void twoWritersAtOnce();
    void clickStartsUpdater_data();
    void clickStartsUpdater();
    void updaterThatCannotStart();
    void windowGoesWhileTheCheckIsPending();
    void windowGoesBeforeTheRequestLeaves();

private:
    // A window that has reported a newer release at address.
    bool offerUpdate(LocalServer &server, const QString &address);

    QString startingDirectory;
    std::unique_ptr<QTemporaryDir> workDirectory;
};

void TestUpdateCheck::initTestCase()
{
    trustTestCertificate();
    startingDirectory = QDir::currentPath();
    // Quitting closes the windows; the last one closing would post a second
    // quit request that ends the next case's event loop at once.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

// Each case runs in an empty working directory of its own, which is where
// the window looks for "version.json".
void TestUpdateCheck::init()
{
    workDirectory = std::make_unique<QTemporaryDir>();
    QVERIFY(workDirectory->isValid());
    QVERIFY(QDir::setCurrent(workDirectory->path()));
}

void TestUpdateCheck::cleanup()
{
    QVERIFY(QDir::setCurrent(startingDirectory));
    workDirectory.reset();
}

void TestUpdateCheck::outcome_data()
{
    QTest::addColumn<Server>("server");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<QByteArray>("local"); // null: no local file
    QTest::addColumn<bool>("offered");
    // The check's lines in OperatorVelm.log after its "Asks ..." line, each
    // the beginning of one, in order.
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<qint64>("logBefore"); // bytes in OperatorVelm.log before; -1: a folder in its way

    const QString fileAddress = u"https://127.0.0.1:1/files/Velm/OperatorVelm-4.exe"_s;
    const QByteArray newer = manifest(4, fileAddress);
    const QByteArray three = R"({"Version": 3})";
    const QStringList offeredFromThree {u"This is release 3; the server's is 4, offered at "_s + fileAddress};
    const auto offeredAt = [](const QString &address) {
        return QStringList {u"This is release 3; the server's is 4, offered at "_s + address};
    };

    QTest::newRow("newer") << Server::Trusted << 200 << newer << three << true << offeredFromThree
                           << qint64(0);
    QTest::newRow("equal") << Server::Trusted << 200 << newer << QByteArray(R"({"Version": 4})") << false
                           << QStringList {u"This is release 4; the server's is 4, nothing newer"_s}
                           << qint64(0);
    QTest::newRow("lower") << Server::Trusted << 200 << manifest(2, u"https://127.0.0.1:1/f.exe"_s) << three
                           << false << QStringList {u"This is release 3; the server's is 2, nothing newer"_s}
                           << qint64(0);
    // The error's kind and the address, never the library's text, which
    // quotes the host's status text.
    const QString notAsked = u"The update server could not be asked for Version.json"_s;
    QTest::newRow("404") << Server::Trusted << 404 << newer << three << false
                         << QStringList {notAsked + u" (HTTP status 404): ContentNotFoundError at https://"_s}
                         << qint64(0);
    QTest::newRow("404, forged status text")
        << Server::ForgedStatusText << 404 << newer << three << false
        << QStringList {notAsked + u" (HTTP status 404): ContentNotFoundError at https://127.0.0.1:"_s}
        << qint64(0);
    QTest::newRow("500") << Server::Trusted << 500 << newer << three << false
                         << QStringList {notAsked + u" (HTTP status 500): InternalServerError at https://"_s}
                         << qint64(0);
    QTest::newRow("connection refused")
        << Server::Refused << 200 << newer << three << false
        << QStringList {notAsked + u": ConnectionRefusedError at https://"_s} << qint64(0);
    QTest::newRow("untrusted certificate")
        << Server::Untrusted << 200 << newer << three << false
        << QStringList {notAsked + u": SslHandshakeFailedError ("_s} << qint64(0);
    QTest::newRow("no local file") << Server::Trusted << 200 << newer << QByteArray() << false
                                   << QStringList {u"version.json in "_s} << qint64(0);
    // The log begins anew past 1 MiB; one that cannot be written changes nothing.
    QTest::newRow("404, log past 1 MiB")
        << Server::Trusted << 404 << newer << three << false
        << QStringList {notAsked + u" (HTTP status 404): "_s} << (qint64(1) << 20) + 1;
    QTest::newRow("newer, log not writable")
        << Server::Trusted << 200 << newer << three << true << QStringList() << qint64(-1);
    QTest::newRow("bare keys") << Server::Trusted << 200
                               << QByteArray(R"({Version: 4, URL: "https://127.0.0.1/f.exe"})")
                               << QByteArray("{Version: 3}") << true
                               << offeredAt(u"https://127.0.0.1/f.exe"_s) << qint64(0);
    QTest::newRow("CRLF and tabs")
        << Server::Trusted << 200
        << QByteArray("{\r\n\tVersion: 4,\r\n\t\"URL\": \"https://127.0.0.1/f.exe\"\r\n}\r\n")
        << QByteArray("{\r\n\t\"Version\": 3\r\n}\r\n") << true << offeredAt(u"https://127.0.0.1/f.exe"_s)
        << qint64(0);
    QTest::newRow("address with a port")
        << Server::Trusted << 200 << QByteArray(R"({"Version": 4, "URL": "https://127.0.0.1:8443/f.exe"})")
        << three << true << offeredAt(u"https://127.0.0.1:8443/f.exe"_s) << qint64(0);
    QTest::newRow("Version as a string")
        << Server::Trusted << 200 << QByteArray(R"({"Version": "4", "URL": "https://127.0.0.1/f.exe"})")
        << three << false << QStringList {u"This is release 3; the server's is 0, nothing newer"_s}
        << qint64(0);
    QTest::newRow("empty local file")
        << Server::Trusted << 200 << newer << QByteArray("") << true
        << QStringList {u"This is release 1, as version.json %1; the server's is 4, offered at "_s.arg(
               parseProblem(QString()))}
        << qint64(0);
    QTest::newRow("top level array")
        << Server::Trusted << 200 << QByteArray(R"([{"Version": 4}])") << QByteArray(R"({"Version": 0})")
        << false
        << QStringList {u"This is release 0; the server's is 1, not offered: its Version.json is not a JSON "
                        u"object"_s}
        << qint64(0);
    QTest::newRow("newer without URL")
        << Server::Trusted << 200 << QByteArray(R"({"Version": 4})") << three << false
        << QStringList {u"This is release 3; the server's is 4, not offered: its Version.json names no "
                        u"address (\"URL\")"_s}
        << qint64(0);
    // A captive portal's page is no "nothing newer".
    QTest::newRow("200 page that is not JSON")
        << Server::Trusted << 200 << QByteArray("<html><body>Sign in to the network</body></html>") << three
        << false
        << QStringList {u"This is release 3; the server's is 1, not offered: its Version.json "_s
                        + parseProblem(u"<html><body>Sign in to the network</body></html>"_s)}
        << qint64(0);
    // A refused address in one line, up to its query, escaped and cut.
    const QString junk =
        u"ftp://u.example/\u001B[2K\u000B2026-12-09 03:00:00 Updater: Saved tmp/forged.exe"_s;
    QTest::newRow("refused address")
        << Server::Trusted << 200 << manifest(4, junk + QString(6000, u'x') + u"?token=SECRET\u2028"_s)
        << three << false
        << QStringList {u"This is release 3; the server's is 4, not offered: its address (\"URL\") \"ftp://"
                        u"u.example/\\x1B[2K\\x0B2026-12-09 03:00:00 Updater: Saved tmp/forged.exe"_s
                        + QString(100, u'x')}
        << qint64(0);

    // The check reads at most 64 KiB of manifest.
    const QByteArray largest = manifestOfSize(manifestLimit);
    const QByteArray tooLong = manifestOfSize(manifestLimit + 1);
    const QByteArray unending = R"({"Version": 4, "URL": "https://127.0.0.1:1/f.exe", "Padding": ")";
    const QStringList longer {u"The server's Version.json is longer than the 65536 bytes that the update "
                              u"check reads; the update is not offered"_s};
    const auto announcing = [](qint64 length) {
        return QStringList {u"The server's Version.json announces %1 bytes, more than the 65536 that the "
                            u"update check reads; the update is not offered"_s.arg(length)};
    };
    const QStringList padded = offeredAt(u"https://127.0.0.1:1/f.exe"_s);
    QTest::newRow("64 KiB") << Server::Trusted << 200 << largest << three << true << padded << qint64(0);
    QTest::newRow("64 KiB, no length")
        << Server::Unannounced << 200 << largest << three << true << padded << qint64(0);
    QTest::newRow("64 KiB + 1") << Server::Trusted << 200 << tooLong << three << false << announcing(65537)
                                << qint64(0);
    QTest::newRow("64 KiB + 1, no length")
        << Server::Unannounced << 200 << tooLong << three << false << longer << qint64(0);
    QTest::newRow("endless, 1 GiB announced")
        << Server::Endless << 200 << unending << three << false << announcing(qint64(1) << 30) << qint64(0);
    QTest::newRow("endless, no length")
        << Server::EndlessUnannounced << 200 << unending << three << false << longer << qint64(0);
    // A compressed body is never inflated, so what arrives is what is kept.
    QTest::newRow("compressed unasked")
        << Server::Compressed << 200 << newer << three << false
        << QStringList {u"This is release 3; the server's is 1, not offered: its Version.json "_s
                        + parseProblem(repairedManifestText(QString::fromUtf8(gzipped(newer))))}
        << qint64(0);

    // And waits for silence no longer than its limit.
    QTest::newRow("silent after 16 bytes")
        << Server::FallsSilent << 200 << newer << three << false
        << QStringList {u"The update server sent nothing for 2 seconds; the update is not offered"_s}
        << qint64(0);
    QTest::newRow("slow but never silent")
        << Server::Slow << 200 << newer << three << true << offeredFromThree << qint64(0);
}

void TestUpdateCheck::outcome()
{
    QFETCH(Server, server);
    QFETCH(int, status);
    QFETCH(QByteArray, remote);
    QFETCH(QByteArray, local);
    QFETCH(bool, offered);

    LocalServer localServer;
    localServer.setResponse(manifestPath, responseOf(server, status, remote));
    QUrl address;
    if (server == Server::Refused) {
        // A port that was free a moment ago and has nobody listening now.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        address = QUrl(u"https://127.0.0.1:%1%2"_s.arg(closed.serverPort()).arg(manifestPath));
    } else {
        VELM_SKIP_WITHOUT_LOCAL_TLS();
        QVERIFY(server == Server::Untrusted ? localServer.listenTls(untrustedCertificate(), untrustedKey())
                                            : localServer.listenTls(trustedCertificate(), trustedKey()));
        address = localServer.url(manifestPath);
    }
    if (!local.isNull())
        QVERIFY(writeFile(u"version.json"_s, local));

    QFETCH(qint64, logBefore);
    const QByteArray earlierLog(qMax(logBefore, qint64(0)), 'x');
    QVERIFY(logBefore < 0 ? QDir().mkdir(u"OperatorVelm.log"_s)
                          : writeFile(u"OperatorVelm.log"_s, earlierLog));

    MessageBoxCatcher boxes;
    boxes.arm();
    const LogCapture quiet;
    const UpdateLog fileLog(u"OperatorVelm"_s);
    qint64 received = 0; // outlives the check and its reply
    QElapsedTimer clock;
    clock.start();
    UpdateCheck check(address);
    check.setSilenceLimit(silenceLimit);
    QSignalSpy finished(&check, &UpdateCheck::finished);
    check.start();
    // Everything the check takes in passes through its reply, which reports
    // each piece, except perhaps the last before an abort, as progress.
    auto *reply = check.findChild<QNetworkReply *>();
    QVERIFY(reply);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [&received](qint64 bytesReceived) { received = qMax(received, bytesReceived); });
    connect(reply, &QNetworkReply::readyRead, this,
            [&received, reply] { received = qMax(received, reply->bytesAvailable()); });
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || received > keptBytesLimit, 10000);

    QVERIFY2(received <= keptBytesLimit, qPrintable(u"the check took in %1 bytes"_s.arg(received)));
    if (server == Server::FallsSilent || server == Server::Slow)
        QCOMPARE_GE(clock.elapsed(), silenceLimit.count());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).value<UpdateCheck::Outcome>() == UpdateCheck::Outcome::Offered, offered);
    QVERIFY(boxes.boxes().isEmpty());

    // Each line of the check in the folder's log, dated, with its program,
    // and one line as a viewer shows it.
    if (logBefore >= 0) {
        const QStringList lines = viewedLines(u"OperatorVelm.log"_s);
        const QRegularExpression dated(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d OperatorVelm: "_s);
        QCOMPARE(lines.filter(dated).size(), lines.size());
        QStringList checks;
        for (const QString &line : lines)
            checks.append(line.section(u' ', 3));
        checks.removeIf([](const QString &line) { return line.startsWith(u"Asks "_s); });
        QFETCH(QStringList, logged);
        QCOMPARE(checks.size(), logged.size());
        for (qsizetype i = 0; i < checks.size(); ++i)
            QVERIFY2(checks[i].startsWith(logged[i]), qPrintable(checks[i]));
        QVERIFY2(!lines.join(u'\n').contains(u"SECRET"_s), qPrintable(lines.join(u'\n')));
        QCOMPARE(QFileInfo(u"OperatorVelm.1.log"_s).size(), logBefore > (qint64(1) << 20) ? logBefore : 0);
    }

    if (server != Server::Refused && server != Server::Untrusted) {
        QCOMPARE(localServer.requests().size(), 1);
        QCOMPARE(localServer.requests().first().method, QByteArray("GET"));
        QCOMPARE(localServer.requests().first().target, manifestPath.toUtf8());
    }
}

void TestUpdateCheck::lineRule_data()
{
    addLineRuleRows();
}

// Whatever the host, the manifest or the network library put into a
// message, the log gains exactly one line, and it holds the rule's text.
void TestUpdateCheck::lineRule()
{
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(logText(message), text);
    {
        const LogCapture quiet;
        const UpdateLog fileLog(u"OperatorVelm"_s);
        qCInfo(velmUpdate).noquote() << message;
    }
    const QStringList lines = viewedLines(u"OperatorVelm.log"_s);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().section(u' ', 2), u"OperatorVelm: "_s + text);
}

bool TestUpdateCheck::offerUpdate(LocalServer &server, const QString &address)
{
    LocalServer::Response response;
    response.body = manifest(5, address);
    server.setResponse(manifestPath, response);
    return server.listenTls(trustedCertificate(), trustedKey())
        && writeFile(u"version.json"_s, R"({"Version": 4})");
}

void TestUpdateCheck::clickStartsUpdater_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("answer"); // in the reconciliation's pane; the question is answered «Нет»

    QTest::newRow("address with a port")
        << u"https://127.0.0.1:8443/files/Velm/OperatorVelm-5.exe"_s << QString();
    QTest::newRow("equals signs and spaces")
        << u"https://127.0.0.1/get?file=Operator Velm.exe&v=5"_s << QString();
    QTest::newRow("an answer in the pane") << u"https://127.0.0.1:8443/files/Velm/OperatorVelm-5.exe"_s
                                           << u"Начислено по показаниям 1042 кВт·ч."_s;
}

void TestUpdateCheck::clickStartsUpdater()
{
    QFETCH(QString, address);
    VELM_SKIP_WITHOUT_LOCAL_TLS();

    LocalServer server;
    QVERIFY(offerUpdate(server, address));
    OperatorVelm window(server.url(manifestPath), QStringLiteral(VELM_RECORDER_PATH));
    window.show();
    QPushButton *button = child<QPushButton>(window, u"btnUpdater"_s);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 10000);
    QFETCH(QString, answer);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *each : windows) {
        if (auto *sverka = qobject_cast<Sverka *>(each))
            child<QTextBrowser>(*sverka, u"textBrowserAnswer"_s)->setPlainText(answer);
    }

    MessageBoxCatcher boxes;
    boxes.arm();
    const LogCapture quiet;
    const UpdateLog fileLog(u"OperatorVelm"_s);
    QuitWatcher quits;
    const QString record = workDirectory->filePath(u"updater-call.txt"_s);
    if (!answer.isEmpty()) {
        QCOMPARE(runApplication([button] {
                     button->click();
                     QCoreApplication::exit(42);
                 }),
                 42);
        QCOMPARE(boxes.boxes().size(), 1);
        QCOMPARE(boxes.boxes().first().icon, QMessageBox::Question);
        QVERIFY(boxes.boxes().first().text.contains(u"пропадёт"_s));
        QCOMPARE(boxes.boxes().first().defaultButton, QMessageBox::No);
        QTest::qWait(500);
        QVERIFY(!QFile::exists(record));
        QCOMPARE(quits.count, 0);
        QVERIFY(button->isEnabled());
        return;
    }
    QCOMPARE(runApplication([button] { button->click(); }), 0);
    QCOMPARE(quits.count, 1);
    QVERIFY(boxes.boxes().isEmpty());
    // Without its query, which may carry tokens.
    QCOMPARE(viewedLines(u"OperatorVelm.log"_s).constLast().section(u' ', 2),
             u"OperatorVelm: %1 started for %2"_s.arg(QStringLiteral(VELM_RECORDER_PATH),
                                                      address.section(u'?', 0, 0)));

    // The recorder writes where it runs and what it was given.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    QCOMPARE(lines.size(), 4); // directory, count, the argument, and the final line end
    QCOMPARE(QDir(lines[0]).canonicalPath(), QDir(workDirectory->path()).canonicalPath());
    QCOMPARE(lines[1], u"1"_s);
    QCOMPARE(lines[2], u"--url="_s + address);
}

void TestUpdateCheck::updaterThatCannotStart()
{
    VELM_SKIP_WITHOUT_LOCAL_TLS();
    const QString address = u"https://127.0.0.1:8443/files/Velm/OperatorVelm-5.exe"_s;
    LocalServer server;
    QVERIFY(offerUpdate(server, address));
    OperatorVelm window(server.url(manifestPath), workDirectory->filePath(u"no-such-folder/Updater"_s));
    window.show();
    QPushButton *button = child<QPushButton>(window, u"btnUpdater"_s);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 10000);

    MessageBoxCatcher boxes;
    boxes.arm();
    const LogCapture quiet;
    const UpdateLog fileLog(u"OperatorVelm"_s);
    QuitWatcher quits;
    // The click returns once the box is dismissed; whatever it asked of the
    // event loop has been asked by then.
    QCOMPARE(runApplication([button] {
                 button->click();
                 QCoreApplication::exit(42);
             }),
             42);
    QCOMPARE(quits.count, 0);

    QCOMPARE(boxes.boxes().size(), 1);
    const MessageBoxCatcher::Box box = boxes.boxes().first();
    QCOMPARE(box.title, u"Ошибка"_s);
    QCOMPARE(box.text, u"Не удалось запустить программу обновления."_s);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent.data(), &window);
    QCOMPARE(
        viewedLines(u"OperatorVelm.log"_s).constLast().section(u' ', 2),
        u"OperatorVelm: %1 could not be started"_s.arg(workDirectory->filePath(u"no-such-folder/Updater"_s)));

    QVERIFY(window.isVisible());
    QVERIFY(button->isEnabled());
    QCOMPARE(button->text(), available);
}

void TestUpdateCheck::windowGoesWhileTheCheckIsPending()
{
    // Accepts the connection and never answers, not even the TLS handshake.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QSignalSpy connected(&silent, &QTcpServer::newConnection);
    QVERIFY(writeFile(u"version.json"_s, R"({"Version": 1})"));

    auto window = windowAsking(silent);
    QVERIFY(connected.wait(10000));
    QTest::qWait(200);
    QCOMPARE(child<QPushButton>(*window, u"btnUpdater"_s)->text(), pending);
    QVERIFY(!child<QPushButton>(*window, u"btnUpdater"_s)->isEnabled());

    // The pending request goes with the window; the server hanging up later
    // must find nothing left to call.
    window.reset();
    silent.close();
    const QList<QTcpSocket *> sockets = silent.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->abort();
    QTest::qWait(100);
}

void TestUpdateCheck::windowGoesBeforeTheRequestLeaves()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QVERIFY(writeFile(u"version.json"_s, R"({"Version": 1})"));

    // Gone before the event loop ran: the request must not stay out, nor its
    // reply reach a window that no longer exists. Qt's network thread may
    // have opened the connection already; it has to be dropped, not kept
    // waiting for an answer.
    windowAsking(server).reset();
    QTest::qWait(500);
    while (QTcpSocket *socket = server.nextPendingConnection())
        QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::UnconnectedState, 2000);
}

// Two processes find the log due for rotation at the same moment, round
// after round: the one that rotates second must not drop what the first
// moved to .1.log, and no line may be lost or written over.
void TestUpdateCheck::twoWritersAtOnce()
{
    constexpr int rounds = 30;
    constexpr int lines = 10;
    const TwoWriterCount count = appendFromTwoProcesses(&appendLogLine, rounds, lines);
    QCOMPARE(count.written, qsizetype(2) * rounds * lines);
    QCOMPARE(count.found, count.written);
    QCOMPARE(count.other, 0);
    QCOMPARE(count.olderWhole, rounds);
}

int main(int argc, char *argv[])
{
    // Before the application object: the child only appends.
    if (runAsChildLogWriter(&appendLogLine))
        return 0;
    QApplication application(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    TestUpdateCheck test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updatecheck.moc"
