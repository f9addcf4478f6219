#include "updater.h"

#include "filedownloader.h"
#include "localserver.h"
#include "logcapture.h"
#include "logfile.h"
#include "messageboxcatcher.h"
#include "updaterlog.h"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QMenuBar>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

using namespace Qt::StringLiterals;

// Every case runs in a fresh working directory, where the window makes "tmp".
class TestUpdaterWindow final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startingForm();
    void outcomes_data();
    void outcomes();
    void progress_data();
    void progress();
    void unannouncedSizeLeavesBar();
    void closingMidTransferLeavesNothing();
    void lineRule_data();
    void lineRule();
    void twoWritersAtOnce();

private:
    static QStringList tmpEntries()
    {
        return QDir(u"tmp"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    std::unique_ptr<QTemporaryDir> workingDirectory;
    QString previousDirectory;
};

void TestUpdaterWindow::init()
{
    workingDirectory = std::make_unique<QTemporaryDir>();
    QVERIFY(workingDirectory->isValid());
    previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workingDirectory->path()));
}

void TestUpdaterWindow::cleanup()
{
    QDir::setCurrent(previousDirectory);
    workingDirectory.reset();
}

void TestUpdaterWindow::startingForm()
{
    Updater window;
    QCOMPARE(window.objectName(), u"Updater"_s);
    QCOMPARE(window.windowTitle(), u"Updater"_s);
    QCOMPARE(window.size(), QSize(218, 42));
    QVERIFY(QDir(u"tmp"_s).exists());

    auto *bar = window.findChild<QProgressBar *>(u"progressBar"_s);
    QVERIFY(bar);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(window.centralWidget()->objectName(), u"centralwidget"_s);
    auto *layout = window.centralWidget()->findChild<QGridLayout *>(u"gridLayout"_s);
    QVERIFY(layout);
    QCOMPARE(layout->itemAtPosition(0, 0)->widget(), bar);
    QVERIFY(!window.findChild<QMenuBar *>());
    QVERIFY(!window.findChild<QStatusBar *>());
    QVERIFY(!window.findChild<QToolBar *>());
    QCOMPARE(window.findChildren<FileDownloader *>().size(), 1);

    // An existing "tmp" is fine too.
    Updater second;
    QVERIFY(QDir(u"tmp"_s).exists());
}

void TestUpdaterWindow::outcomes_data()
{
    QTest::addColumn<QString>("pathAndQuery"); // empty for an empty address
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text"); // exact, or a part of the library's text
    QTest::addColumn<QString>("savedName");
    // The beginning of Updater's last line in OperatorVelm.log, after "Updater: ".
    QTest::addColumn<QString>("logged");

    QTest::newRow("success") << u"/files/app%20setup.exe?id=7"_s << int(QMessageBox::Information)
                             << u"Download Complete"_s << u"Update downloaded successfully!"_s
                             << u"app setup.exe"_s << u"Saved tmp/app setup.exe, 15 bytes"_s;
    // The error's kind and the address up to its query, never the
    // library's text, which quotes both the query and the host's words.
    QTest::newRow("404") << u"/missing.exe?token=SECRET"_s << int(QMessageBox::Critical)
                         << u"Download Error"_s << u"Not Found"_s << QString()
                         << u"Download Error: ContentNotFoundError (HTTP status 404) at http://127.0.0.1:"_s;
    QTest::newRow("404, forged status text")
        << u"/forged.exe"_s << int(QMessageBox::Critical) << u"Download Error"_s << u"Not Found"_s
        << QString() << u"Download Error: ContentNotFoundError (HTTP status 404) at http://127.0.0.1:"_s;
    QTest::newRow("no address") << QString() << int(QMessageBox::Critical) << u"Download Error"_s
                                << u"Protocol \"\" is unknown"_s << QString()
                                << u"Download Error: ProtocolUnknownError at "_s;
    QTest::newRow("unusable name") << u"/files/"_s << int(QMessageBox::Critical) << u"Download Error"_s
                                   << u"Failed to save the file"_s << QString()
                                   << u"Download Error: Failed to save the file"_s;
    // Refused while the window is still being made.
    QTest::newRow("malformed digest")
        << u"/files/app%20setup.exe#sha256=0123"_s << int(QMessageBox::Critical) << u"Download Error"_s
        << u"The SHA-256 digest in the address is not 64 hexadecimal digits"_s << QString()
        << u"Download Error: The SHA-256 digest in the address is not 64 hexadecimal digits"_s;
}

void TestUpdaterWindow::outcomes()
{
    QFETCH(QString, pathAndQuery);
    QFETCH(int, icon);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QString, savedName);

    const QByteArray body("new installer\0\xff", 15);
    LocalServer server;
    LocalServer::Response response;
    response.body = body;
    response.pieces = 3;
    server.setResponse(u"/files/app%20setup.exe"_s, response);
    server.setResponse(u"/files/"_s, response);
    LocalServer::Response forged;
    forged.status = 404;
    forged.reason = "Not Found\r2026-12-09 03:00:00 Updater: Saved tmp/forged.exe, 1 bytes";
    server.setResponse(u"/forged.exe"_s, forged);
    QVERIFY(server.listen());

    MessageBoxCatcher catcher;
    catcher.arm();
    const LogCapture quiet;
    const UpdaterLog fileLog;
    Updater window(pathAndQuery.isEmpty() ? QString() : server.url(pathAndQuery).toString());
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(!catcher.boxes().isEmpty(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 5000);
    QTest::qWait(50);

    QCOMPARE(catcher.boxes().size(), 1);
    const MessageBoxCatcher::Box &box = catcher.boxes().constFirst();
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.title, title);
    QVERIFY2(box.text.contains(text), qPrintable(box.text));
    if (text == u"Failed to save the file"_s)
        QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent.data(), &window);

    if (savedName.isEmpty()) {
        QCOMPARE(tmpEntries(), QStringList());
    } else {
        QCOMPARE(tmpEntries(), QStringList {savedName});
        QFile saved(u"tmp/"_s + savedName);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), body);
        QCOMPARE(window.findChild<QProgressBar *>()->value(), 100);
    }

    // What support reads: Updater's lines only, each one line.
    const QStringList lines = viewedLines(u"OperatorVelm.log"_s);
    const QRegularExpression dated(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Updater: "_s);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.filter(dated).size(), lines.size());
    QFETCH(QString, logged);
    QVERIFY2(lines.constLast().section(u' ', 3).startsWith(logged), qPrintable(lines.constLast()));
    QVERIFY2(!lines.join(u'\n').contains(u"SECRET"_s), qPrintable(lines.join(u'\n')));
}

void TestUpdaterWindow::progress_data()
{
    QTest::addColumn<qlonglong>("received");
    QTest::addColumn<qlonglong>("total");
    QTest::addColumn<int>("bar"); // -1: left as it was

    QTest::newRow("1 of 3") << 1LL << 3LL << 33;
    QTest::newRow("2 of 3") << 2LL << 3LL << 66;
    QTest::newRow("50 of 200") << 50LL << 200LL << 25;
    QTest::newRow("all") << 7LL << 7LL << 100;
    QTest::newRow("none yet") << 0LL << 7LL << 0;
    QTest::newRow("beyond 32 bits") << 3'000'000'000LL << 4'000'000'000LL << 75;
    QTest::newRow("total 0") << 5LL << 0LL << -1;
    QTest::newRow("total unknown") << 5LL << -1LL << -1;
    QTest::newRow("more than announced") << 150LL << 100LL << -1;
}

void TestUpdaterWindow::progress()
{
    QFETCH(qlonglong, received);
    QFETCH(qlonglong, total);
    QFETCH(int, bar);

    QCOMPARE(progressPercent(received, total).has_value(), total > 0);
    if (bar >= 0)
        QCOMPARE(progressPercent(received, total).value(), qlonglong(bar));

    // The window, driven through its downloader's signal; its own request,
    // with no address, has not been answered yet.
    Updater window;
    auto *downloader = window.findChild<FileDownloader *>();
    auto *progressBar = window.findChild<QProgressBar *>();
    emit downloader->downloadProgress(10, 100);
    QCOMPARE(progressBar->value(), 10);
    emit downloader->downloadProgress(received, total);
    QCOMPARE(progressBar->value(), bar >= 0 ? bar : 10);
}

void TestUpdaterWindow::unannouncedSizeLeavesBar()
{
    LocalServer server;
    LocalServer::Response response;
    response.body = QByteArray(30000, 'u');
    response.announcedLength = -2;
    response.pieces = 25;
    server.setResponse(u"/setup.exe"_s, response);
    QVERIFY(server.listen());

    MessageBoxCatcher catcher;
    catcher.arm();
    Updater window(server.url(u"/setup.exe"_s).toString());
    auto *downloader = window.findChild<FileDownloader *>();
    auto *progressBar = window.findChild<QProgressBar *>();
    QList<int> barWhileUnknown;
    connect(downloader, &FileDownloader::downloadProgress, this, [&](qlonglong, qlonglong total) {
        if (total == -1)
            barWhileUnknown.append(progressBar->value());
    });
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(!catcher.boxes().isEmpty(), 10000);
    QCOMPARE(catcher.boxes().constFirst().title, u"Download Complete"_s);
    QVERIFY(!barWhileUnknown.isEmpty());
    QCOMPARE(barWhileUnknown, QList<int>(barWhileUnknown.size(), 0));
}

void TestUpdaterWindow::closingMidTransferLeavesNothing()
{
    LocalServer server;
    LocalServer::Response response;
    response.body = QByteArray(400000, 'c');
    response.pieces = 25;
    server.setResponse(u"/setup.exe"_s, response);
    QVERIFY(server.listen());

    MessageBoxCatcher catcher;
    catcher.arm();
    Updater window(server.url(u"/setup.exe"_s).toString());
    window.show();
    QSignalSpy progress(window.findChild<FileDownloader *>(), &FileDownloader::downloadProgress);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.constLast().at(0).toLongLong() > 0, 10000);
    QVERIFY(progress.constLast().at(0).toLongLong() < progress.constLast().at(1).toLongLong());

    QVERIFY(window.close());
    QTest::qWait(700); // past the end of the body
    QCOMPARE(catcher.boxes().size(), 0);
    QCOMPARE(tmpEntries(), QStringList());
}

void TestUpdaterWindow::lineRule_data()
{
    addLineRuleRows();
}

// The same rule as OperatorVelm's, in Updater's own copy.
void TestUpdaterWindow::lineRule()
{
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(logText(message), text);
    {
        const LogCapture quiet;
        const UpdaterLog fileLog;
        qCInfo(updaterLog).noquote() << message;
    }
    const QStringList lines = viewedLines(u"OperatorVelm.log"_s);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().section(u' ', 2), u"Updater: "_s + text);
}

// Two processes find the log due for rotation at the same moment, round
// after round: the one that rotates second must not drop what the first
// moved to .1.log, and no line may be lost or written over.
void TestUpdaterWindow::twoWritersAtOnce()
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
    TestUpdaterWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updaterwindow.moc"
