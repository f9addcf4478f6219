#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// A scripted HTTP/1.1 server on 127.0.0.1 for tests, plain or over TLS.
// Each path gets a canned response; every connection is closed after one
// answer, so no keep-alive state leaks between cases.
class LocalServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalServer)

public:
    // Whether the body goes out gzip-compressed, with Content-Encoding: gzip.
    enum class Compression {
        Never,
        WhenAccepted, // only if the request's Accept-Encoding names gzip
        Always,       // whatever the request asked for
    };

    struct Response
    {
        int status = 200;
        // The status line's text, as sent; null for the usual one.
        QByteArray reason;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Compression compression = Compression::Never;
        // Content-Length to announce; -1 announces the size of the body as
        // sent (compressed, if it is), -2 announces nothing and ends the
        // body by closing the connection.
        qint64 announcedLength = -1;
        // Send only this many bytes of the body as sent, then drop the
        // connection (-1 sends it all).
        qint64 sendOnly = -1;
        // Split the body into this many writes, flushed pieceIntervalMs
        // apart, so that the client sees progress in steps.
        int pieces = 1;
        int pieceIntervalMs = 20;
        // Keep the connection open after the body as sent, as a link that
        // goes silent does, instead of closing it.
        bool holdOpen = false;
        // After the body as sent, keep sending filler without end, as a
        // broken or hostile server may, until the client hangs up.
        bool endless = false;
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;                     // path and query as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    explicit LocalServer(QObject *parent = nullptr);
    ~LocalServer() override;

    // Plain HTTP on a free port of 127.0.0.1.
    bool listen();
    // HTTPS with the given certificate and key.
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key);

    quint16 port() const;
    // http(s)://127.0.0.1:<port><pathAndQuery>
    QUrl url(const QString &pathAndQuery) const;

    // Answers requests whose path (query left out) equals path.
    void setResponse(const QString &path, const Response &response);
    // A 302 (or other 3xx) to the given location.
    void setRedirect(const QString &path, const QByteArray &location, int status = 302);

    const QList<Request> &requests() const { return m_requests; }

private:
    void startListening(QTcpServer *server);
    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);

    QTcpServer *m_server = nullptr;
    bool m_tls = false;
    QHash<QString, Response> m_responses;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

// data in the gzip format (RFC 1952), as a compressing server sends it.
QByteArray gzipped(const QByteArray &data);

// Test certificates, valid for 127.0.0.1 and localhost. trustedCertificate()
// is added to the default TLS configuration by trustTestCertificate(); the
// other pair is signed by nobody the client trusts.
QSslCertificate trustedCertificate();
QSslKey trustedKey();
QSslCertificate untrustedCertificate();
QSslKey untrustedKey();
// Makes every QNetworkAccessManager of this process trust trustedCertificate().
void trustTestCertificate();

// Empty where this process can serve TLS to itself. Under Wine, whose
// Schannel fails such handshakes, it says so, for a skip.
QString localTlsMissing();

#define VELM_SKIP_WITHOUT_LOCAL_TLS()                                                                        \
    do {                                                                                                     \
        const QString velmTlsMissing = localTlsMissing();                                                    \
        if (!velmTlsMissing.isEmpty())                                                                       \
            QSKIP(qPrintable(velmTlsMissing));                                                               \
    } while (false)
