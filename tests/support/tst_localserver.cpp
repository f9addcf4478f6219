// The test servers themselves: if these fail, the network tests of the
// programs prove nothing.
#include "localserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLocalServer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { trustTestCertificate(); }
    void fetch_data();
    void fetch();
};

void TestLocalServer::fetch_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentEncoding");

    QTest::newRow("plain") << false << true << u"/file?x=1"_s << int(QNetworkReply::NoError)
                           << QByteArray("payload") << QByteArray();
    QTest::newRow("plain 404") << false << true << u"/missing"_s << int(QNetworkReply::ContentNotFoundError)
                               << QByteArray() << QByteArray();
    QTest::newRow("tls trusted") << true << true << u"/file"_s << int(QNetworkReply::NoError)
                                 << QByteArray("payload") << QByteArray();
    QTest::newRow("tls untrusted") << true << false << u"/file"_s
                                   << int(QNetworkReply::SslHandshakeFailedError) << QByteArray()
                                   << QByteArray();
    // Qt asks for gzip by default and decodes it: only a well-formed stream
    // comes back as the body.
    QTest::newRow("gzip when accepted") << false << true << u"/gzip"_s << int(QNetworkReply::NoError)
                                        << QByteArray("payload") << QByteArray("gzip");
}

void TestLocalServer::fetch()
{
    QFETCH(bool, tls);
    QFETCH(bool, trusted);
    QFETCH(QString, path);

    LocalServer server;
    LocalServer::Response response;
    response.body = "payload";
    response.pieces = 3;
    server.setResponse(u"/file"_s, response);
    response.compression = LocalServer::Compression::WhenAccepted;
    server.setResponse(u"/gzip"_s, response);
    if (tls) {
        VELM_SKIP_WITHOUT_LOCAL_TLS();
        QVERIFY(trusted ? server.listenTls(trustedCertificate(), trustedKey())
                        : server.listenTls(untrustedCertificate(), untrustedKey()));
    } else {
        QVERIFY(server.listen());
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(server.url(path)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QTEST(int(reply->error()), "error");
    if (reply->error() == QNetworkReply::NoError) {
        QTEST(reply->readAll(), "body");
        QTEST(reply->rawHeader("Content-Encoding"), "contentEncoding");
    }
    delete reply;
}

QTEST_GUILESS_MAIN(TestLocalServer)
#include "tst_localserver.moc"
