#include "commandline.h"

#include "localserver.h"
#include "logfile.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestCommandLine final : public QObject
{
    Q_OBJECT

private slots:
    void parseUrl_data();
    void parseUrl();
    void programSavesWhatTheArgumentsName_data();
    void programSavesWhatTheArgumentsName();
};

void TestCommandLine::parseUrl_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("address");

    const QString program = u"Updater"_s;
    const QString address = u"https://updates.example.org/files/Velm/setup.exe"_s;
    QTest::newRow("none") << QStringList {program} << QString();
    QTest::newRow("--url=") << QStringList {program, u"--url="_s + address} << address;
    QTest::newRow("-u") << QStringList {program, u"-u"_s, address} << address;
    QTest::newRow("--url= keeps a query whole")
        << QStringList {program, u"--url=http://h/get?id=7&t=x=y"_s} << u"http://h/get?id=7&t=x=y"_s;
    QTest::newRow("-u keeps a query whole")
        << QStringList {program, u"-u"_s, u"http://h/get?id=7&t=x"_s} << u"http://h/get?id=7&t=x"_s;
    QTest::newRow("non-ASCII") << QStringList {program, u"--url=http://h/обновление 2.exe"_s}
                               << u"http://h/обновление 2.exe"_s;
    QTest::newRow("--url= empty") << QStringList {program, u"--url="_s} << QString();
    QTest::newRow("later --url= wins")
        << QStringList {program, u"--url=http://a/1"_s, u"--url=http://b/2"_s} << u"http://b/2"_s;
    QTest::newRow("-u last wins over --url=")
        << QStringList {program, u"--url=http://a/1"_s, u"-u"_s, u"http://b/2"_s} << u"http://b/2"_s;
    QTest::newRow("--url= last wins over -u")
        << QStringList {program, u"-u"_s, u"http://b/2"_s, u"--url=http://a/1"_s} << u"http://a/1"_s;
    QTest::newRow("-u as the last argument")
        << QStringList {program, u"--url=http://a/1"_s, u"-u"_s} << u"http://a/1"_s;
    QTest::newRow("-u takes a --url= argument whole")
        << QStringList {program, u"-u"_s, u"--url=http://a/1"_s} << u"--url=http://a/1"_s;
    QTest::newRow("-u takes -u") << QStringList {program, u"-u"_s, u"-u"_s} << u"-u"_s;
    QTest::newRow("upper case ignored")
        << QStringList {program, u"-U"_s, u"http://a/1"_s, u"--URL=http://b/2"_s} << QString();
    QTest::newRow("--url without =") << QStringList {program, u"--url"_s, u"http://a/1"_s} << QString();
    QTest::newRow("program name not read") << QStringList {u"--url=http://a/1"_s} << QString();
    QTest::newRow("other arguments ignored")
        << QStringList {program, u"-x"_s, u"--url=http://a/1"_s, u"extra"_s} << u"http://a/1"_s;
}

void TestCommandLine::parseUrl()
{
    QFETCH(QStringList, arguments);
    QTEST(::parseUrl(arguments), "address");
}

// The real program, started as a process: its arguments, non-ASCII and
// with a query, reach the server whole and the file lands in tmp/ below
// its working directory.
void TestCommandLine::programSavesWhatTheArgumentsName_data()
{
    QTest::addColumn<QStringList>("arguments"); // {server} stands for the server
    QTest::addColumn<QByteArray>("requestTarget");
    QTest::addColumn<QString>("savedName");

    QTest::newRow("--url= with a query") << QStringList {u"--url={server}/some%20file.bin?x=1&y=2"_s}
                                         << QByteArray("/some%20file.bin?x=1&y=2") << u"some file.bin"_s;
    QTest::newRow("-u, non-ASCII") << QStringList {u"-u"_s, u"{server}/обновление.bin"_s}
                                   << QByteArray(
                                          "/%D0%BE%D0%B1%D0%BD%D0%BE%D0%B2%D0%BB%D0%B5%D0%BD%D0%B8%D0%B5.bin")
                                   << u"обновление.bin"_s;
    QTest::newRow("--url=, non-ASCII") << QStringList {u"--url={server}/счёт.bin"_s}
                                       << QByteArray("/%D1%81%D1%87%D1%91%D1%82.bin") << u"счёт.bin"_s;
}

void TestCommandLine::programSavesWhatTheArgumentsName()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, requestTarget);
    QFETCH(QString, savedName);

    LocalServer server;
    LocalServer::Response response;
    response.body = QByteArray("update\0body\r\n", 13);
    server.setResponse(QString::fromLatin1(requestTarget.split('?').constFirst()), response);
    QVERIFY(server.listen());
    const QString base = u"http://127.0.0.1:"_s + QString::number(server.port());
    for (QString &argument : arguments)
        argument.replace(u"{server}"_s, base);

    QTemporaryDir workingDirectory;
    QVERIFY(workingDirectory.isValid());
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(workingDirectory.path());
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(QStringLiteral(VELM_UPDATER_PROGRAM), arguments);
    QVERIFY(updater.waitForStarted(10000));

    // It waits in its box, which nobody here can press; its outcome is in
    // the folder's log by then.
    const QString log = workingDirectory.filePath(u"OperatorVelm.log"_s);
    QStringList lines;
    const bool ended = QTest::qWaitFor(
        [&] {
            lines = viewedLines(log);
            return !lines.filter(u" Updater: Saved "_s).isEmpty()
                || !lines.filter(u" Updater: Download Error: "_s).isEmpty();
        },
        15000);
    updater.kill();
    updater.waitForFinished(5000);
    QVERIFY2(ended, updater.readAll().constData());
    QCOMPARE(lines.constLast().section(u' ', 2),
             u"Updater: Saved tmp/%1, %2 bytes"_s.arg(savedName).arg(response.body.size()));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().constFirst().target, requestTarget);
    QFile saved(workingDirectory.filePath(u"tmp/"_s + savedName));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), response.body);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
