#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

class QNetworkReply;
class QSaveFile;
class QUrl;
class Sha256;

// The name a download is saved under: the part of the address's fully decoded
// path after its last "/". Query and fragment play no part, and an encoded
// slash only shortens the name.
QString fileNameFromUrl(const QUrl &url);

// Whether a name taken from an address may be used in the download folder.
// It has to name a file directly inside it: never the folder itself or its
// parent, and no backslash, which Windows reads as a separator. On Windows
// also no colon, no device name (CON, NUL, COM1, ... with any extension) and
// no trailing dot or space, which Windows would drop.
bool isSafeFileName(const QString &name);

// Fetches one file by HTTP(S) and saves it as savePath followed by the name
// from the address. The body goes to a temporary file beside the target as
// it arrives and takes the target's name only once the whole transfer has
// succeeded, so the target only ever holds a complete file. An address whose
// fragment is "sha256=<64 hex digits>" names the file's SHA-256: the body is
// hashed as it arrives and saved only when the two agree.
class FileDownloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileDownloader)

public:
    explicit FileDownloader(QObject *parent = nullptr);
    ~FileDownloader() override;

    // Starts the download and returns at once; the outcome arrives through
    // the signals. A transfer still running is dropped first. An address
    // whose "sha256=" fragment is malformed is refused before anything is
    // asked: its error is emitted before this returns.
    void downloadFile(const QString &url, const QString &savePath);
    // Drops the running transfer, if any: nothing is saved and no signal follows.
    void cancel();
    // How long the transfer may go without receiving anything before it
    // fails; 30 s unless set.
    void setSilenceLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds silenceLimit() const;
    // The latest failure as the log may show it: the text emitted, except
    // that a network failure is named by its kind, its HTTP status and the
    // address up to its query, never by the library's text, which quotes
    // the address whole and the server's own status text.
    const QString &failureForTheLog() const { return failureLogText; }

signals:
    void downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void downloadFinished();
    void downloadError(const QString &error);

private slots:
    void onFileDownloaded(QNetworkReply *reply);
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);

private:
    bool saveAvailableData(QNetworkReply *reply);
    bool openTarget();
    void failSave();
    void failTransfer(const QString &text);
    void fail(const QString &text, const QString &logText);

    QNetworkAccessManager manager;
    QTimer silenceTimer;
    QString fileName;
    QString savePath;
    QString failureLogText;
    QPointer<QNetworkReply> activeReply;
    std::unique_ptr<QSaveFile> target;
    // Set only when the address names the file's digest.
    std::unique_ptr<Sha256> hasher;
    QByteArray expectedDigest;
    QByteArray chunk;
    qint64 bytesSaved = 0;
};
