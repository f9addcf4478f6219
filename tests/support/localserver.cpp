#include "localserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

using namespace Qt::StringLiterals;

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffU;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

void appendLittleEndian(QByteArray &bytes, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((value >> shift) & 0xffU));
}

bool acceptsGzip(const LocalServer::Request &request)
{
    const QList<QByteArray> codings = request.headers.value("accept-encoding").split(',');
    for (const QByteArray &coding : codings) {
        if (coding.split(';').constFirst().trimmed().toLower() == "gzip")
            return true;
    }
    return false;
}

bool runningUnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// Empty once a client of this process got an encrypted connection to a
// LocalServer; otherwise what went wrong.
QString localHandshakeError()
{
    LocalServer server;
    if (!server.listenTls(trustedCertificate(), trustedKey()))
        return u"cannot listen on 127.0.0.1"_s;
    QSslSocket client;
    QSslConfiguration configuration = client.sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.setSslConfiguration(configuration);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&client, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QSslSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    client.connectToHostEncrypted(u"127.0.0.1"_s, server.port());
    deadline.start(5000);
    loop.exec();
    if (client.isEncrypted())
        return {};
    return client.error() == QAbstractSocket::UnknownSocketError ? u"no handshake within 5 s"_s
                                                                 : client.errorString();
}

QByteArray readResource(const QString &name)
{
    QFile file(u":/velm-test-certs/"_s + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test resource %s", qPrintable(name));
    return file.readAll();
}

} // namespace

LocalServer::LocalServer(QObject *parent)
    : QObject(parent)
{
}

LocalServer::~LocalServer() = default;

bool LocalServer::listen()
{
    startListening(new QTcpServer(this));
    return m_server->isListening();
}

bool LocalServer::listenTls(const QSslCertificate &certificate, const QSslKey &key)
{
    auto *server = new QSslServer(this);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);
    m_tls = true;
    startListening(server);
    return m_server->isListening();
}

void LocalServer::startListening(QTcpServer *server)
{
    m_server = server;
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &LocalServer::acceptConnections);
    m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 LocalServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QUrl LocalServer::url(const QString &pathAndQuery) const
{
    return QUrl((m_tls ? u"https://127.0.0.1:"_s : u"http://127.0.0.1:"_s) + QString::number(port())
                + pathAndQuery);
}

void LocalServer::setResponse(const QString &path, const Response &response)
{
    m_responses.insert(path, response);
}

void LocalServer::setRedirect(const QString &path, const QByteArray &location, int status)
{
    Response response;
    response.status = status;
    response.headers.append({"Location", location});
    setResponse(path, response);
}

void LocalServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void LocalServer::readRequest(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;

    const QList<QByteArray> lines = buffer.left(end).split('\n');
    m_pending.remove(socket);
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    m_requests.append(request);
    answer(socket, request);
}

void LocalServer::answer(QTcpSocket *socket, const Request &request)
{
    const QString path = QString::fromUtf8(request.target.left(
        request.target.indexOf('?') < 0 ? request.target.size() : request.target.indexOf('?')));
    Response response;
    if (m_responses.contains(path)) {
        response = m_responses.value(path);
    } else {
        response.status = 404;
        response.body = "no such file";
    }

    if (response.compression == Compression::Always
        || (response.compression == Compression::WhenAccepted && acceptsGzip(request))) {
        response.body = gzipped(response.body);
        response.headers.append({QByteArray("Content-Encoding"), QByteArray("gzip")});
    }

    const QByteArray reason = response.reason.isNull() ? reasonPhrase(response.status) : response.reason;
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason + "\r\nConnection: close\r\n";
    if (response.announcedLength != -2) {
        const qint64 length =
            response.announcedLength == -1 ? response.body.size() : response.announcedLength;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    for (const auto &[name, value] : std::as_const(response.headers))
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    socket->write(head);

    const QByteArray body = response.sendOnly < 0 ? response.body : response.body.left(response.sendOnly);
    const int pieces = qMax(1, response.pieces);
    const qsizetype pieceSize = qMax<qsizetype>(1, (body.size() + pieces - 1) / pieces);
    QPointer<QTcpSocket> guard(socket);
    // Each piece goes out on its own pass of the event loop, flushed, so the
    // client reads the body in several steps.
    for (int i = 0; i < pieces; ++i) {
        QTimer::singleShot(i * response.pieceIntervalMs, this,
                           [guard, piece = body.mid(i * pieceSize, pieceSize)] {
                               if (guard) {
                                   guard->write(piece);
                                   guard->flush();
                               }
                           });
    }
    if (response.endless) {
        // A piece at a time, each once the last has left the process, so that
        // the server holds little whether the client reads or not.
        QTimer::singleShot(pieces * response.pieceIntervalMs, this, [guard] {
            if (!guard)
                return;
            auto *tls = qobject_cast<QSslSocket *>(guard.data());
            const auto more = [socket = guard.data(), tls, filler = QByteArray(qsizetype(16) * 1024, ' ')] {
                if (socket->bytesToWrite() == 0 && (!tls || tls->encryptedBytesToWrite() == 0))
                    socket->write(filler);
            };
            connect(guard, &QTcpSocket::bytesWritten, guard, more);
            if (tls)
                connect(tls, &QSslSocket::encryptedBytesWritten, tls, more);
            more();
        });
        return;
    }
    if (response.holdOpen)
        return;
    QTimer::singleShot(pieces * response.pieceIntervalMs, this, [guard] {
        if (guard)
            guard->disconnectFromHost();
    });
}

QByteArray gzipped(const QByteArray &data)
{
    // qCompress gives a 4-byte size, then a zlib stream: a 2-byte header,
    // the raw deflate data and a 4-byte Adler-32. gzip wraps the same
    // deflate data in a header of its own and a CRC-32 and size trailer.
    const QByteArray zlib = qCompress(data);
    QByteArray gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    gzip += zlib.mid(4 + 2, zlib.size() - 4 - 2 - 4);
    appendLittleEndian(gzip, crc32(data));
    appendLittleEndian(gzip, quint32(data.size()));
    return gzip;
}

QSslCertificate trustedCertificate()
{
    return QSslCertificate(readResource(u"server.pem"_s));
}

QSslKey trustedKey()
{
    return QSslKey(readResource(u"server.key"_s), QSsl::Rsa);
}

QSslCertificate untrustedCertificate()
{
    return QSslCertificate(readResource(u"untrusted.pem"_s));
}

QSslKey untrustedKey()
{
    return QSslKey(readResource(u"untrusted.key"_s), QSsl::Rsa);
}

void trustTestCertificate()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(QSslCertificate(readResource(u"ca.pem"_s)));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

QString localTlsMissing()
{
    // Anywhere else a failing handshake is a fault for the tests to show.
    if (!runningUnderWine())
        return {};
    static const QString reason = [] {
        const QString error = localHandshakeError();
        return error.isEmpty() ? QString()
                               : u"Wine's Schannel cannot complete a TLS handshake with a server in the same "
                                 "process (%1); the Windows check's end-to-end run covers HTTPS"_s.arg(error);
    }();
    return reason;
}
