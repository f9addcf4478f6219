#include "filedownloader.h"

#include "localserver.h"
#include "logcapture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <chrono>
#include <optional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace Qt::StringLiterals;

using Routes = QList<QPair<QString, LocalServer::Response>>;
Q_DECLARE_METATYPE(Routes)

namespace {

const QString saveFailed = u"Failed to save the file"_s;
const QString cutShort = u"Connection closed before the whole file was received"_s;
const QString compressed = u"Server sent the file compressed instead of as stored"_s;
const QString stalled = u"Connection stalled: nothing received for 1 second"_s;
const QString digestMismatch = u"The downloaded file does not match the SHA-256 digest in its address"_s;
const QString malformedDigest = u"The SHA-256 digest in the address is not 64 hexadecimal digits"_s;
const QByteArray earlierContent = "earlier, complete file";

LocalServer::Response ok(const QByteArray &body, int pieces = 1)
{
    LocalServer::Response response;
    response.body = body;
    response.pieces = pieces;
    return response;
}

// The SHA-256 of data in lower-case hex.
QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A line as the debug stream writes it: the text quoted, with its quotes escaped.
QString debugLine(const char *label, const QString &text)
{
    QString line;
    QDebug(&line) << label << text;
    return line.trimmed(); // the stream ends every item with a space
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// What one download reported.
struct Outcome
{
    int finished = 0;
    QStringList errors;
    QList<QPair<qlonglong, qlonglong>> progress;
    QStringList log;
    qint64 endedAfter = -1; // milliseconds from the start to the first outcome
};

// Rows whose server holds the connection open or sends slowly run under a
// silence limit of a second instead of 30, so that they end in seconds.
std::optional<std::chrono::milliseconds> silenceLimitFor(const Routes &routes)
{
    for (const auto &[path, response] : routes) {
        if (response.holdOpen || response.pieceIntervalMs >= 250)
            return std::chrono::milliseconds(1000);
    }
    return std::nullopt;
}

Outcome download(const QString &address, const QString &savePath,
                 std::optional<std::chrono::milliseconds> silenceLimit = std::nullopt)
{
    LogCapture log;
    Outcome outcome;
    FileDownloader downloader;
    if (silenceLimit)
        downloader.setSilenceLimit(*silenceLimit);
    QObject::connect(&downloader, &FileDownloader::downloadFinished, [&] { ++outcome.finished; });
    QObject::connect(&downloader, &FileDownloader::downloadError,
                     [&](const QString &error) { outcome.errors.append(error); });
    const auto recordProgress = [&](qlonglong received, qlonglong total) {
        outcome.progress.append({received, total});
    };
    QObject::connect(&downloader, &FileDownloader::downloadProgress, recordProgress);
    QElapsedTimer timer;
    timer.start();
    downloader.downloadFile(address, savePath);
    const bool ended = QTest::qWaitFor([&] { return outcome.finished + outcome.errors.size() > 0; }, 10000);
    outcome.endedAfter = ended ? timer.elapsed() : -1;
    if (ended)
        QTest::qWait(50); // a second outcome would show up here
    outcome.log = log.texts();
    return outcome;
}

} // namespace

class TestFileDownloader final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fileNames_data();
    void fileNames();
    void savesBody_data();
    void savesBody();
    void failures_data();
    void failures();
    void progressPassedOn_data();
    void progressPassedOn();
    void destroyedMidTransferSavesNothing();
    void saveFailingPartWay();

private:
    std::unique_ptr<QTemporaryDir> folder;
    QString savePath;
};

void TestFileDownloader::init()
{
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
    savePath = folder->path() + u"/tmp/"_s;
    QVERIFY(QDir(folder->path()).mkdir(u"tmp"_s));
}

void TestFileDownloader::fileNames_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << u"https://h/files/Velm/setup.exe"_s << u"setup.exe"_s << true;
    QTest::newRow("escapes decoded") << u"http://h/files/app%20setup%2B1.exe"_s << u"app setup+1.exe"_s
                                     << true;
    QTest::newRow("query and fragment")
        << u"http://h/f/setup.exe?id=7&n=a/b.exe#x/y"_s << u"setup.exe"_s << true;
    QTest::newRow("encoded slash shortens") << u"http://h/f/..%2F..%2Fsetup.exe"_s << u"setup.exe"_s << true;
    QTest::newRow("non-ASCII") << u"http://h/%D0%BE%D0%B1.exe"_s << u"об.exe"_s << true;
    QTest::newRow("leading dots kept") << u"http://h/f/..hidden"_s << u"..hidden"_s << true;
    QTest::newRow("ends in /") << u"http://h/files/"_s << QString() << false;
    QTest::newRow("no path") << u"http://h"_s << QString() << false;
    QTest::newRow("empty address") << QString() << QString() << false;
    QTest::newRow("dot") << u"http://h/files/%2E"_s << u"."_s << false;
    QTest::newRow("dot dot") << u"http://h/files/%2e%2E"_s << u".."_s << false;
    QTest::newRow("backslash") << u"http://h/f/..%5C..%5Cevil.exe"_s << u"..\\..\\evil.exe"_s << false;

    // Names that Windows would read as a device or save under another name.
#ifdef Q_OS_WIN
    constexpr bool elsewhere = false;
#else
    constexpr bool elsewhere = true;
#endif
    QTest::newRow("device name") << u"http://h/f/NUL.exe"_s << u"NUL.exe"_s << elsewhere;
    QTest::newRow("device name, lower case") << u"http://h/f/com1"_s << u"com1"_s << elsewhere;
    QTest::newRow("device name, two extensions")
        << u"http://h/f/Lpt9.tar.gz"_s << u"Lpt9.tar.gz"_s << elsewhere;
    QTest::newRow("device name, space before the dot")
        << u"http://h/f/aux%20.txt"_s << u"aux .txt"_s << elsewhere;
    QTest::newRow("device name inside a name") << u"http://h/f/CONSOLE.exe"_s << u"CONSOLE.exe"_s << true;
    QTest::newRow("device name, superscript digit")
        << u"http://h/f/COM%C2%B9.exe"_s << u"COM\u00B9.exe"_s << elsewhere;
    QTest::newRow("COM0 is no device") << u"http://h/f/COM0.exe"_s << u"COM0.exe"_s << true;
    QTest::newRow("trailing dot") << u"http://h/f/setup.exe."_s << u"setup.exe."_s << elsewhere;
    QTest::newRow("trailing space") << u"http://h/f/setup.exe%20"_s << u"setup.exe "_s << elsewhere;
}

void TestFileDownloader::fileNames()
{
    QFETCH(QString, address);
    QFETCH(QString, name);
    QCOMPARE(fileNameFromUrl(QUrl(address, QUrl::TolerantMode)), name);
    QTEST(isSafeFileName(name), "safe");
}

void TestFileDownloader::savesBody_data()
{
    QTest::addColumn<Routes>("routes");
    QTest::addColumn<QString>("pathAndQuery");
    QTest::addColumn<QString>("savedName");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("earlierFile");

    const QByteArray small("MZ\0\x01\xff\r\n binary\n", 16);
    QTest::newRow("small file") << Routes {{u"/files/update.bin"_s, ok(small, 3)}} << u"/files/update.bin"_s
                                << u"update.bin"_s << small << false;
    QTest::newRow("%20 in the name") << Routes {{u"/files/app%20setup.exe"_s, ok(small)}}
                                     << u"/files/app%20setup.exe"_s << u"app setup.exe"_s << small << false;
    QTest::newRow("query not in the name")
        << Routes {{u"/files/setup.exe"_s, ok(small)}} << u"/files/setup.exe?id=7&t=x/y.z"_s << u"setup.exe"_s
        << small << false;
    QTest::newRow("zero-length body")
        << Routes {{u"/empty.bin"_s, ok({})}} << u"/empty.bin"_s << u"empty.bin"_s << QByteArray("") << false;
    QTest::newRow("replaces an earlier file") << Routes {{u"/setup.exe"_s, ok("new")}} << u"/setup.exe"_s
                                              << u"setup.exe"_s << QByteArray("new") << true;

    LocalServer::Response redirect = ok("moved, see the mirror");
    redirect.status = 302;
    redirect.headers = {{"Location", "/mirror/setup-1.2.exe"}};
    QTest::newRow("redirect followed")
        << Routes {{u"/latest/setup.exe"_s, redirect}, {u"/mirror/setup-1.2.exe"_s, ok(small, 2)}}
        << u"/latest/setup.exe"_s << u"setup.exe"_s << small << true;

    LocalServer::Response unannounced = ok(small, 4);
    unannounced.announcedLength = -2;
    QTest::newRow("unannounced size")
        << Routes {{u"/setup.exe"_s, unannounced}} << u"/setup.exe"_s << u"setup.exe"_s << small << false;

    // The file is asked for as stored, and a server that would compress it
    // only on request sends it so.
    const QByteArray text = QByteArray("OperatorVelm release notes\r\n").repeated(2000);
    LocalServer::Response offersGzip = ok(text, 3);
    offersGzip.compression = LocalServer::Compression::WhenAccepted;
    QTest::newRow("compression offered, identity honoured")
        << Routes {{u"/setup.exe"_s, offersGzip}} << u"/setup.exe"_s << u"setup.exe"_s << text << true;
    LocalServer::Response identity = ok(small);
    identity.headers = {{"Content-Encoding", "Identity"}};
    QTest::newRow("Content-Encoding: identity")
        << Routes {{u"/setup.exe"_s, identity}} << u"/setup.exe"_s << u"setup.exe"_s << small << false;

    // Slower in all than the silence limit, but never silent for that long.
    LocalServer::Response slow = ok(small, 5);
    slow.pieceIntervalMs = 400;
    QTest::newRow("slow link that still delivers")
        << Routes {{u"/setup.exe"_s, slow}} << u"/setup.exe"_s << u"setup.exe"_s << small << true;

    LocalServer::Response transformed = ok(small, 2);
    transformed.status = 203;
    QTest::newRow("203 from a transforming proxy")
        << Routes {{u"/setup.exe"_s, transformed}} << u"/setup.exe"_s << u"setup.exe"_s << small << true;

    const QByteArray large = randomBytes(3 * 1024 * 1024 + 17);
    QTest::newRow("larger than the read buffer")
        << Routes {{u"/big.bin"_s, ok(large, 6)}} << u"/big.bin"_s << u"big.bin"_s << large << true;

    // The digest in the fragment covers every piece of the body; the name
    // comes from the path alone.
    QTest::newRow("matching digest") << Routes {{u"/files/setup.exe"_s, ok(large, 6)}}
                                     << u"/files/setup.exe?v=5#sha256="_s + sha256Hex(large) << u"setup.exe"_s
                                     << large << true;
    QTest::newRow("matching digest, upper case")
        << Routes {{u"/files/setup.exe"_s, ok(small, 3)}}
        << u"/files/setup.exe#sha256="_s + sha256Hex(small).toUpper() << u"setup.exe"_s << small << false;
}

void TestFileDownloader::savesBody()
{
    QFETCH(Routes, routes);
    QFETCH(QString, pathAndQuery);
    QFETCH(QString, savedName);
    QFETCH(QByteArray, expected);
    QFETCH(bool, earlierFile);

    LocalServer server;
    for (const auto &[path, response] : std::as_const(routes))
        server.setResponse(path, response);
    QVERIFY(server.listen());
    if (earlierFile)
        QVERIFY(writeFile(savePath + savedName, earlierContent));

    const Outcome outcome = download(server.url(pathAndQuery).toString(), savePath, silenceLimitFor(routes));
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(entries(savePath), QStringList {savedName});
    QVERIFY(contents(savePath + savedName) == expected);
    QCOMPARE(outcome.log, (QStringList {debugLine("File name extracted from URL:", savedName),
                                        debugLine("File downloaded and saved to:", savePath + savedName)}));
    // Redirects included, every request asks for the file as stored. The
    // fragment stays with us: the server is asked for path and query alone.
    QVERIFY(!server.requests().isEmpty());
    QCOMPARE(server.requests().constFirst().target, pathAndQuery.section(u'#', 0, 0).toUtf8());
    for (const LocalServer::Request &request : server.requests()) {
        QCOMPARE(request.headers.value("accept-encoding"), QByteArray("identity"));
        QVERIFY2(!request.target.contains('#'), request.target.constData());
    }
}

void TestFileDownloader::failures_data()
{
    QTest::addColumn<Routes>("routes");
    QTest::addColumn<QString>("address");  // {server}, {closed}: the server, a closed port
    QTest::addColumn<QString>("savePath"); // relative to the test folder
    QTest::addColumn<QString>("error");    // exact, or a part of the library's text
    QTest::addColumn<QString>("lastLog");

    const QByteArray page = "<html>the server's error page</html>";
    LocalServer::Response serverError = ok(page, 3);
    serverError.status = 500;
    const QString networkLog = u"Error downloading file:"_s;
    const QString saveLog = u"Failed to save the file."_s;

    QTest::newRow("404") << Routes {} << u"{server}/setup.exe"_s << u"tmp/"_s << u"Not Found"_s << networkLog;
    QTest::newRow("500") << Routes {{u"/setup.exe"_s, serverError}} << u"{server}/setup.exe"_s << u"tmp/"_s
                         << u"Internal Server Error"_s << networkLog;
    QTest::newRow("connection refused") << Routes {} << u"http://127.0.0.1:{closed}/setup.exe"_s << u"tmp/"_s
                                        << u"Connection refused"_s << networkLog;
    QTest::newRow("empty address") << Routes {} << QString() << u"tmp/"_s << u"Protocol \"\" is unknown"_s
                                   << networkLog;
    QTest::newRow("no scheme") << Routes {} << u"setup.exe"_s << u"tmp/"_s << u"Protocol \"\" is unknown"_s
                               << networkLog;
    // A length announced, the body ended early, and no error from the
    // library: a chunked body under a larger Content-Length.
    LocalServer::Response chunked = ok("3e8\r\n" + QByteArray(1000, 'x') + "\r\n0\r\n\r\n");
    chunked.announcedLength = 4096;
    chunked.headers = {{"Transfer-Encoding", "chunked"}};
    QTest::newRow("body shorter than announced")
        << Routes {{u"/setup.exe"_s, chunked}} << u"{server}/setup.exe"_s << u"tmp/"_s << cutShort
        << networkLog;
    // Had the library asked for gzip, this would end without an error, the
    // decoded part saved as the file.
    LocalServer::Response gzipCutShort = ok(randomBytes(60000), 2);
    gzipCutShort.compression = LocalServer::Compression::WhenAccepted;
    gzipCutShort.sendOnly = 30000;
    QTest::newRow("compressing server, body cut short")
        << Routes {{u"/setup.exe"_s, gzipCutShort}} << u"{server}/setup.exe"_s << u"tmp/"_s
        << u"Connection closed"_s << networkLog;
    // Compressed although the file was asked for as stored.
    LocalServer::Response gzipAlways = ok(randomBytes(60000), 3);
    gzipAlways.compression = LocalServer::Compression::Always;
    QTest::newRow("gzip whatever was asked")
        << Routes {{u"/setup.exe"_s, gzipAlways}} << u"{server}/setup.exe"_s << u"tmp/"_s << compressed
        << networkLog;
    LocalServer::Response deflate = ok(qCompress(randomBytes(10000)).mid(4)); // zlib stream
    deflate.headers = {{"Content-Encoding", "deflate"}};
    QTest::newRow("deflate whatever was asked")
        << Routes {{u"/setup.exe"_s, deflate}} << u"{server}/setup.exe"_s << u"tmp/"_s << compressed
        << networkLog;
    LocalServer::Response encodedEmpty = ok({});
    encodedEmpty.headers = {{"Content-Encoding", "identity, gzip"}};
    QTest::newRow("gzip announced, empty body")
        << Routes {{u"/setup.exe"_s, encodedEmpty}} << u"{server}/setup.exe"_s << u"tmp/"_s << compressed
        << networkLog;
    // An error page says what went wrong, compressed or not.
    LocalServer::Response compressedError = serverError;
    compressedError.compression = LocalServer::Compression::Always;
    QTest::newRow("500, compressed page")
        << Routes {{u"/setup.exe"_s, compressedError}} << u"{server}/setup.exe"_s << u"tmp/"_s
        << u"Internal Server Error"_s << networkLog;

    // Statuses the library neither follows nor counts as errors: the page
    // that comes with them is not the file.
    LocalServer::Response multipleChoices = ok(page, 2);
    multipleChoices.status = 300;
    QTest::newRow("300") << Routes {{u"/setup.exe"_s, multipleChoices}} << u"{server}/setup.exe"_s
                         << u"tmp/"_s << u"Server answered with status 300 instead of sending the file"_s
                         << networkLog;
    LocalServer::Response unknownRedirect = ok(page);
    unknownRedirect.status = 399;
    unknownRedirect.headers = {{"Location", "/mirror/setup.exe"}};
    QTest::newRow("399 with a Location")
        << Routes {{u"/setup.exe"_s, unknownRedirect}, {u"/mirror/setup.exe"_s, ok(page)}}
        << u"{server}/setup.exe"_s << u"tmp/"_s
        << u"Server answered with status 399 instead of sending the file"_s << networkLog;
    // 2xx answers that are no whole file: nothing, a status page, a part.
    LocalServer::Response noContent = ok({});
    noContent.status = 204;
    QTest::newRow("204") << Routes {{u"/setup.exe"_s, noContent}} << u"{server}/setup.exe"_s << u"tmp/"_s
                         << u"Server answered with status 204 instead of sending the file"_s << networkLog;
    LocalServer::Response accepted = ok("Accepted: the file is being prepared, come back", 2);
    accepted.status = 202;
    QTest::newRow("202") << Routes {{u"/setup.exe"_s, accepted}} << u"{server}/setup.exe"_s << u"tmp/"_s
                         << u"Server answered with status 202 instead of sending the file"_s << networkLog;
    LocalServer::Response firstThird = ok(randomBytes(20000), 2);
    firstThird.status = 206;
    firstThird.headers = {{"Content-Range", "bytes 0-19999/60000"}};
    QTest::newRow("206 with a Content-Range")
        << Routes {{u"/setup.exe"_s, firstThird}} << u"{server}/setup.exe"_s << u"tmp/"_s
        << u"Server answered with status 206 instead of sending the file"_s << networkLog;
    // Half the body, then silence on a connection that stays open.
    LocalServer::Response stalls = ok(randomBytes(60000), 2);
    stalls.sendOnly = 30000;
    stalls.holdOpen = true;
    QTest::newRow("link goes silent") << Routes {{u"/setup.exe"_s, stalls}} << u"{server}/setup.exe"_s
                                      << u"tmp/"_s << stalled << networkLog;

    // Unsafe names; the library sends "." and ".." segments resolved.
    const Routes everywhere {{u"/"_s, ok(page, 2)},
                             {u"/files/"_s, ok(page, 2)},
                             {u"/f/..%5Cevil.exe"_s, ok(page)},
                             {u"/f/a%5Cb.exe"_s, ok({})}};
    QTest::newRow("ends in /") << everywhere << u"{server}/files/"_s << u"tmp/"_s << saveFailed << saveLog;
    QTest::newRow("no path") << everywhere << u"{server}"_s << u"tmp/"_s << saveFailed << saveLog;
    QTest::newRow("dot") << everywhere << u"{server}/files/%2E"_s << u"tmp/"_s << saveFailed << saveLog;
    QTest::newRow("dot dot") << everywhere << u"{server}/files/%2E%2E"_s << u"tmp/"_s << saveFailed
                             << saveLog;
    QTest::newRow("backslash") << everywhere << u"{server}/f/..%5Cevil.exe"_s << u"tmp/"_s << saveFailed
                               << saveLog;
    QTest::newRow("backslash, empty body")
        << everywhere << u"{server}/f/a%5Cb.exe"_s << u"tmp/"_s << saveFailed << saveLog;
    QTest::newRow("unsafe name, then 404")
        << Routes {} << u"{server}/files/"_s << u"tmp/"_s << u"Not Found"_s << networkLog;
    QTest::newRow("missing folder") << Routes {{u"/setup.exe"_s, ok(page)}} << u"{server}/setup.exe"_s
                                    << u"missing/"_s << saveFailed << saveLog;
    QTest::newRow("missing folder, empty body")
        << Routes {{u"/setup.exe"_s, ok({})}} << u"{server}/setup.exe"_s << u"missing/"_s << saveFailed
        << saveLog;
#ifdef Q_OS_WIN
    QTest::newRow("device name") << Routes {{u"/NUL.exe"_s, ok(page)}} << u"{server}/NUL.exe"_s << u"tmp/"_s
                                 << saveFailed << saveLog;
    QTest::newRow("trailing dot") << Routes {{u"/setup.exe."_s, ok(page)}} << u"{server}/setup.exe."_s
                                  << u"tmp/"_s << saveFailed << saveLog;
    // Windows cannot replace a file that another program holds open; on
    // other systems the new file replaces it.
    QTest::newRow("earlier file held open") << Routes {{u"/in-use.exe"_s, ok(page, 2)}}
                                            << u"{server}/in-use.exe"_s << u"tmp/"_s << saveFailed << saveLog;
#endif
    QTest::newRow("target is a folder")
        << Routes {{u"/folder"_s, ok(page)}} << u"{server}/folder"_s << u"tmp/"_s << saveFailed << saveLog;

    // The body is not the file the address names.
    const QByteArray file = randomBytes(60000);
    QTest::newRow("wrong digest") << Routes {{u"/setup.exe"_s, ok(file, 3)}}
                                  << u"{server}/setup.exe#sha256="_s + sha256Hex(file + "x") << u"tmp/"_s
                                  << digestMismatch << networkLog;
    // Refused before anything is asked.
    const QString digits = sha256Hex(file);
    QTest::newRow("short digest") << Routes {{u"/setup.exe"_s, ok(file)}}
                                  << u"{server}/setup.exe#sha256="_s + digits.chopped(1) << u"tmp/"_s
                                  << malformedDigest << networkLog;
    QTest::newRow("digest not hex") << Routes {{u"/setup.exe"_s, ok(file)}}
                                    << u"{server}/setup.exe#sha256="_s + digits.chopped(1) + u'g' << u"tmp/"_s
                                    << malformedDigest << networkLog;
    QTest::newRow("digest and a line feed")
        << Routes {{u"/setup.exe"_s, ok(file)}} << u"{server}/setup.exe#sha256="_s + digits + u"%0A"_s
        << u"tmp/"_s << malformedDigest << networkLog;
}

void TestFileDownloader::failures()
{
    QFETCH(Routes, routes);
    QFETCH(QString, address);
    QFETCH(QString, savePath);
    QFETCH(QString, error);
    QFETCH(QString, lastLog);

    LocalServer server;
    for (const auto &[path, response] : std::as_const(routes))
        server.setResponse(path, response);
    QVERIFY(server.listen());
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    address.replace(u"{server}"_s, u"http://127.0.0.1:"_s + QString::number(server.port()))
        .replace(u"{closed}"_s, QString::number(closedPort));

    // An earlier file of the same name, and a folder under the name "folder".
    // An earlier "in-use.exe" stays open meanwhile, as a running installer
    // keeps itself open.
    const QString name = fileNameFromUrl(QUrl(address, QUrl::TolerantMode));
    const bool earlier = isSafeFileName(name) && name != u"folder"_s && QDir(folder->path()).exists(savePath);
    if (earlier)
        QVERIFY(writeFile(folder->path() + u'/' + savePath + name, earlierContent));
    QFile inUse(folder->path() + u'/' + savePath + name);
    if (earlier && name == u"in-use.exe"_s)
        QVERIFY(inUse.open(QIODevice::ReadOnly));
    QVERIFY(QDir(this->savePath).mkdir(u"folder"_s));

    const Outcome outcome = download(address, folder->path() + u'/' + savePath, silenceLimitFor(routes));
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(outcome.errors.size(), 1);
    if (error == saveFailed || error == cutShort || error == compressed || error == stalled
        || error == digestMismatch || error == malformedDigest)
        QCOMPARE(outcome.errors.constFirst(), error);
    else
        QVERIFY2(outcome.errors.constFirst().contains(error), qPrintable(outcome.errors.constFirst()));
    QVERIFY(!outcome.log.isEmpty());
    QCOMPARE(outcome.log.constFirst(), debugLine("File name extracted from URL:", name));
    QCOMPARE(outcome.log.constLast(),
             lastLog.endsWith(u'.') ? lastLog
                                    : debugLine("Error downloading file:", outcome.errors.constFirst()));

    // Nothing saved, no temporary file, the earlier file as it was.
    QStringList expectedEntries {u"folder"_s};
    if (earlier)
        expectedEntries.append(name);
    expectedEntries.sort();
    QCOMPARE(entries(this->savePath), expectedEntries);
    if (earlier)
        QCOMPARE(contents(this->savePath + name), earlierContent);
    if (error == malformedDigest)
        QCOMPARE(server.requests().size(), 0);
}

// Progress figures go out as the reply reports them. The rows that drop the
// connection in the middle of an announced body are repeated: the library
// reports most of these itself, but whichever side notices, the result is
// one error and an untouched earlier file.
void TestFileDownloader::progressPassedOn_data()
{
    QTest::addColumn<qint64>("announcedLength");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<qint64>("sendOnly");

    QTest::newRow("announced") << qint64(-1) << 12 << qint64(-1);
    QTest::newRow("unannounced") << qint64(-2) << 25 << qint64(-1);
    for (int round = 0; round < 12; ++round) {
        const qint64 sendOnly = QList<qint64> {0, 1, 30000, 59999}.at(round % 4);
        QTest::addRow("cut short after %lld bytes, round %d", sendOnly, round)
            << qint64(-1) << 1 + round % 3 << sendOnly;
    }
}

void TestFileDownloader::progressPassedOn()
{
    QFETCH(qint64, announcedLength);
    QFETCH(int, pieces);
    QFETCH(qint64, sendOnly);

    LocalServer server;
    LocalServer::Response response = ok(randomBytes(60000), pieces);
    response.announcedLength = announcedLength;
    response.sendOnly = sendOnly;
    server.setResponse(u"/setup.exe"_s, response);
    QVERIFY(server.listen());
    QVERIFY(writeFile(savePath + u"setup.exe"_s, earlierContent));

    const Outcome outcome = download(server.url(u"/setup.exe"_s).toString(), savePath);
    QVERIFY(!outcome.progress.isEmpty());
    const qlonglong total = announcedLength == -2 ? -1 : response.body.size();
    for (qsizetype i = 0; i < outcome.progress.size(); ++i) {
        const auto &[bytesReceived, bytesTotal] = outcome.progress.at(i);
        QVERIFY(i == 0 || bytesReceived >= outcome.progress.at(i - 1).first);
        // Once a body of unknown size has ended, the library reports the
        // final count as the total.
        const bool finalOfUnknown = total == -1 && i == outcome.progress.size() - 1;
        QCOMPARE(bytesTotal, finalOfUnknown ? bytesReceived : total);
    }

    if (sendOnly < 0) {
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.progress.constLast(),
                 qMakePair(qlonglong(response.body.size()),
                           total == -1 ? qlonglong(response.body.size()) : total));
        if (announcedLength == -2)
            QVERIFY2(outcome.progress.size() > 1, "no report while the size was unknown");
        QVERIFY(contents(savePath + u"setup.exe"_s) == response.body);
    } else {
        QCOMPARE(outcome.finished, 0);
        QCOMPARE(outcome.errors.size(), 1);
        QVERIFY2(outcome.errors.constFirst() == cutShort
                     || outcome.errors.constFirst() == u"Connection closed"_s,
                 qPrintable(outcome.errors.constFirst()));
        QCOMPARE(contents(savePath + u"setup.exe"_s), earlierContent);
    }
    QCOMPARE(entries(savePath), QStringList {u"setup.exe"_s});
}

void TestFileDownloader::destroyedMidTransferSavesNothing()
{
    LocalServer server;
    server.setResponse(u"/setup.exe"_s, ok(randomBytes(200000), 25));
    QVERIFY(server.listen());
    QVERIFY(writeFile(savePath + u"setup.exe"_s, earlierContent));

    auto downloader = std::make_unique<FileDownloader>();
    QSignalSpy progress(downloader.get(), &FileDownloader::downloadProgress);
    QSignalSpy finished(downloader.get(), &FileDownloader::downloadFinished);
    QSignalSpy failed(downloader.get(), &FileDownloader::downloadError);
    downloader->downloadFile(server.url(u"/setup.exe"_s).toString(), savePath);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.constLast().at(0).toLongLong() > 0, 10000);
    QVERIFY(progress.constLast().at(0).toLongLong() < progress.constLast().at(1).toLongLong());
    downloader.reset();

    QTest::qWait(700); // the rest of the body, had anybody listened
    QCOMPARE(finished.size(), 0);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(entries(savePath), QStringList {u"setup.exe"_s});
    QCOMPARE(contents(savePath + u"setup.exe"_s), earlierContent);
}

// A file-size limit makes the disk refuse the body part-way. It is set in a
// child process, which runs this program again in download mode.
void TestFileDownloader::saveFailingPartWay()
{
#ifndef Q_OS_UNIX
    QSKIP("needs setrlimit: Windows has no per-process limit on file size");
#else
    const QByteArray body = randomBytes(qsizetype(2) * 1024 * 1024);
    LocalServer server;
    server.setResponse(u"/setup.exe"_s, ok(body, 100)); // 2 s in all
    QVERIFY(server.listen());
    QVERIFY(writeFile(savePath + u"setup.exe"_s, earlierContent));

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"VELM_CHILD_DOWNLOAD"_s, server.url(u"/setup.exe"_s).toString());
    environment.insert(u"VELM_CHILD_SAVE_PATH"_s, savePath);
    child.setProcessEnvironment(environment);
    child.setChildProcessModifier([] {
        const rlim_t bytes = rlim_t(256) * 1024;
        const rlimit limit {bytes, bytes};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of killing
    });
    QSignalSpy ended(&child, &QProcess::finished);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForStarted(10000));
    QVERIFY(ended.wait(20000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    const QStringList report =
        QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(report.size(), 3);
    QCOMPARE(report.at(0), u"errors: Failed to save the file"_s);
    QCOMPARE(report.at(1), u"finished: 0"_s);
    // Ended at once, long before the server could have sent the whole body.
    const qlonglong elapsed = report.at(2).section(u' ', 1).toLongLong();
    QVERIFY2(elapsed >= 0 && elapsed < 1500, qPrintable(report.at(2)));

    QCOMPARE(entries(savePath), QStringList {u"setup.exe"_s});
    QCOMPARE(contents(savePath + u"setup.exe"_s), earlierContent);
#endif
}

// Download mode of the child process: one download, then its outcome on
// standard output.
static int childDownload()
{
    const Outcome outcome =
        download(qEnvironmentVariable("VELM_CHILD_DOWNLOAD"), qEnvironmentVariable("VELM_CHILD_SAVE_PATH"));
    QTextStream out(stdout);
    out << "errors: " << outcome.errors.join(u'|') << '\n'
        << "finished: " << outcome.finished << '\n'
        << "milliseconds: " << outcome.endedAfter << '\n';
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsSet("VELM_CHILD_DOWNLOAD"))
        return childDownload();
    TestFileDownloader test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filedownloader.moc"
