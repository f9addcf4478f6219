#include "filedownloader.h"

#include "sha256.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// Large enough to move the body in big steps, small enough that memory stays
// flat whatever the size of the file: the network side waits for us once
// this much is waiting to be written.
constexpr qint64 readBufferBytes = qint64(4) * 1024 * 1024;

// The step in which the body is moved from the reply to the file.
constexpr qsizetype chunkBytes = qsizetype(256) * 1024;

QString saveFailedText()
{
    return u"Failed to save the file"_s;
}

QString encodedFileText()
{
    return u"Server sent the file compressed instead of as stored"_s;
}

QString digestMismatchText()
{
    return u"The downloaded file does not match the SHA-256 digest in its address"_s;
}

QString malformedDigestText()
{
    return u"The SHA-256 digest in the address is not 64 hexadecimal digits"_s;
}

QString noHashText()
{
    return u"SHA-256 is not available to check the download"_s;
}

QString stalledText(std::chrono::milliseconds silenceLimit)
{
    const qint64 seconds = qMax<qint64>(1, (silenceLimit.count() + 999) / 1000);
    return u"Connection stalled: nothing received for %1 %2"_s.arg(seconds).arg(seconds == 1 ? u"second"_s
                                                                                             : u"seconds"_s);
}

// The one rule for "the file came": only a 200, or a 203 (a 200 passed on by
// a transforming proxy), carries the whole file. Any other answer is not the
// file, even a 2xx: 204 and 202 bring no file or a status page, a 206 only a
// part of it (no range was asked for), and the library's errors, redirects it
// did not follow (300, a 3xx without a Location) and 304 say what went wrong
// instead. Neither is the body of a redirect on the way. An address of a
// scheme without statuses is its own body.
bool bodyIsTheFile(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    return status.toInt() == 200 || status.toInt() == 203;
}

// Whether the server sent the file encoded although it was asked for as
// stored. Such bytes are not the file, and the library does not decode a
// body it did not ask to be compressed.
bool isEncodedFile(const QNetworkReply *reply)
{
    if (!bodyIsTheFile(reply))
        return false;
    const QList<QByteArray> codings = reply->rawHeader("Content-Encoding").split(',');
    for (const QByteArray &coding : codings) {
        const QByteArray name = coding.trimmed().toLower();
        if (!name.isEmpty() && name != "identity")
            return true;
    }
    return false;
}

// The body length the server announced, or -1. The body is never
// compressed on the way, so this is the length of the file itself.
qint64 announcedBodyLength(const QNetworkReply *reply)
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

// The file's SHA-256 as the address's fragment gives it.
struct DigestInAddress
{
    bool given = false; // the fragment starts with "sha256="
    QByteArray sha256;  // 32 bytes; empty when the rest is not 64 hex digits
};

DigestInAddress digestInAddress(const QUrl &address)
{
    static const QString prefix = u"sha256="_s;
    static const QRegularExpression hexDigits(QRegularExpression::anchoredPattern(u"[0-9A-Fa-f]{64}"_s));
    DigestInAddress digest;
    const QString fragment = address.fragment(QUrl::FullyDecoded);
    digest.given = fragment.startsWith(prefix);
    const QString digits = fragment.mid(prefix.size());
    if (digest.given && hexDigits.match(digits).hasMatch())
        digest.sha256 = QByteArray::fromHex(digits.toLatin1());
    return digest;
}

} // namespace

QString fileNameFromUrl(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isSafeFileName(const QString &name)
{
    if (name.isEmpty() || name == u"."_s || name == u".."_s)
        return false;
    if (name.contains(u'/') || name.contains(u'\\'))
        return false;
#ifdef Q_OS_WIN
    // A colon would name a drive or an alternate data stream of another file.
    if (name.contains(u':'))
        return false;
    // Windows drops a trailing dot or space, so the file would land under
    // another name than the one asked for.
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return false;
    // Device names stay devices with any extension: "NUL.exe" names no file.
    // Windows counts the Latin-1 superscripts ¹ ² ³ as port digits too.
    static const QRegularExpression deviceName(
        u"^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)[1-9\u00B9\u00B2\u00B3]) *(\\.|$)"_s,
        QRegularExpression::CaseInsensitiveOption);
    if (deviceName.match(name).hasMatch())
        return false;
#endif
    return true;
}

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
{
    connect(&manager, &QNetworkAccessManager::finished, this, &FileDownloader::onFileDownloaded);
    // A link that goes silent without closing would otherwise leave the
    // transfer waiting for ever. Every sign of life (headers, a redirect, a
    // piece of the body) starts the wait anew, so a slow link that still
    // delivers is never cut.
    silenceTimer.setSingleShot(true);
    silenceTimer.setInterval(QNetworkRequest::DefaultTransferTimeoutConstant);
    connect(&silenceTimer, &QTimer::timeout, this, [this] { failTransfer(stalledText(silenceLimit())); });
}

FileDownloader::~FileDownloader()
{
    // The manager outlives this body and takes a running reply with it; no
    // signal of theirs may reach a half-destroyed downloader.
    manager.disconnect(this);
    cancel();
}

void FileDownloader::downloadFile(const QString &url, const QString &savePath)
{
    cancel();
    this->savePath = savePath;
    const QUrl address(url, QUrl::TolerantMode);
    fileName = fileNameFromUrl(address);
    qDebug() << "File name extracted from URL:" << fileName;

    const DigestInAddress digest = digestInAddress(address);
    if (digest.given && digest.sha256.isEmpty()) {
        failTransfer(malformedDigestText());
        return;
    }
    expectedDigest = digest.sha256;
    if (digest.given) {
        hasher = std::make_unique<Sha256>();
        if (!hasher->isValid()) {
            failTransfer(noHashText());
            return;
        }
    }

    // The fragment is ours: it never goes to the server.
    QNetworkRequest request(address.adjusted(QUrl::RemoveFragment));
    // Without this the library asks for a compressed body and decodes it
    // unseen: the announced length is then the compressed one, and a
    // compressed stream that just stops ends without an error.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = manager.get(request);
    reply->setReadBufferSize(readBufferBytes);
    activeReply = reply;
    bytesSaved = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, &FileDownloader::onDownloadProgress);
    // Refused as soon as the headers say so, before anything is written.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        silenceTimer.start();
        if (isEncodedFile(reply))
            failTransfer(encodedFileText());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (!saveAvailableData(reply))
            failSave();
    });
    connect(reply, &QNetworkReply::redirected, this, [this] { silenceTimer.start(); });
    silenceTimer.start();
}

void FileDownloader::setSilenceLimit(std::chrono::milliseconds limit)
{
    silenceTimer.setInterval(limit);
}

std::chrono::milliseconds FileDownloader::silenceLimit() const
{
    return silenceTimer.intervalAsDuration();
}

void FileDownloader::cancel()
{
    silenceTimer.stop();
    target.reset(); // without a commit, the temporary file goes with it
    hasher.reset();
    if (QNetworkReply *reply = activeReply) {
        activeReply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void FileDownloader::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    silenceTimer.start();
    emit downloadProgress(bytesReceived, bytesTotal);
}

bool FileDownloader::saveAvailableData(QNetworkReply *reply)
{
    if (!bodyIsTheFile(reply)) {
        // Drained all the same: with a bounded buffer, a reply that nobody
        // reads never finishes.
        reply->skip(reply->bytesAvailable());
        return true;
    }
    if (reply->bytesAvailable() <= 0)
        return true;
    if (!target && !openTarget())
        return false;
    // One buffer for the whole transfer: a fresh one per read costs more
    // than the copy itself.
    if (chunk.isEmpty())
        chunk.resize(chunkBytes);
    while (reply->bytesAvailable() > 0) {
        const qint64 length = reply->read(chunk.data(), chunk.size());
        if (length <= 0)
            break;
        if (target->write(chunk.constData(), length) != length)
            return false;
        // Hashed on the way through, so the file is never read back.
        if (hasher)
            hasher->addData(chunk.constData(), length);
        bytesSaved += length;
    }
    return true;
}

bool FileDownloader::openTarget()
{
    if (!isSafeFileName(fileName))
        return false;
    target = std::make_unique<QSaveFile>(savePath + fileName);
    return target->open(QIODevice::WriteOnly);
}

void FileDownloader::fail(const QString &text, const QString &logText)
{
    cancel();
    qDebug() << "Error downloading file:" << text;
    failureLogText = logText;
    emit downloadError(text);
}

void FileDownloader::failTransfer(const QString &text)
{
    fail(text, text);
}

void FileDownloader::failSave()
{
    cancel();
    qDebug() << "Failed to save the file.";
    failureLogText = saveFailedText();
    emit downloadError(saveFailedText());
}

void FileDownloader::onFileDownloaded(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != activeReply)
        return; // dropped earlier: its outcome no longer matters
    activeReply = nullptr;
    silenceTimer.stop();

    if (reply->error() != QNetworkReply::NoError) {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QString address = reply->url().toString();
        fail(reply->errorString(),
             u"%1%2 at %3"_s.arg(
                 QString::fromLatin1(
                     QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error())),
                 status.isValid() ? u" (HTTP status %1)"_s.arg(status.toInt()) : QString(),
                 address.left(address.indexOf(QRegularExpression(u"[?#]"_s)))));
        return;
    }
    if (!bodyIsTheFile(reply)) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        failTransfer(u"Server answered with status %1 instead of sending the file"_s.arg(status));
        return;
    }
    if (!saveAvailableData(reply)) {
        failSave();
        return;
    }
    // The library now and then ends a reply without an error when the server
    // closes the connection in the middle of an announced body.
    const qint64 announced = announcedBodyLength(reply);
    if (announced >= 0 && bytesSaved < announced) {
        failTransfer(u"Connection closed before the whole file was received"_s);
        return;
    }
    if (hasher && hasher->finish() != expectedDigest) {
        failTransfer(digestMismatchText());
        return;
    }
    // An empty body never opened the target.
    if ((!target && !openTarget()) || !target->commit()) {
        failSave();
        return;
    }
    target.reset();
    hasher.reset();
    qDebug() << "File downloaded and saved to:" << savePath + fileName;
    emit downloadFinished();
}
