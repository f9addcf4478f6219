#include "updatecheck.h"

#include "manifest.h"

#include <QDir>
#include <QFile>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// The keys the server's manifest may be signed with, fixed at build time
// (checked there to be 32 bytes in base64 each, separated by commas); none
// when none was given.
const QList<QByteArray> &builtInUpdateKeys()
{
    static const QList<QByteArray> keys = updateKeysFromText(QString::fromLatin1(VELM_UPDATE_KEY));
    return keys;
}

// A manifest is about a hundred bytes; nothing the update host sends may
// cost more memory than this.
constexpr qint64 manifestByteLimit = qint64(64) * 1024;

// Ends the check as a failed one, with the reason in the log.
void abortCheck(QNetworkReply *reply, const QString &reason)
{
    qCWarning(velmUpdate).noquote() << reason + u"; the update is not offered"_s;
    reply->abort();
}

// Aborts the manifest request as soon as the manifest proves longer than
// the limit or the host has sent nothing for silenceLimit. Every sign of
// life (headers, a redirect, a piece of the body) starts the wait anew, so a
// slow host that still delivers is never cut.
void boundManifestRequest(QNetworkReply *reply, std::chrono::milliseconds silenceLimit)
{
    // The reply then holds at most the limit and the one byte that shows the
    // manifest to be longer: the network side waits for us beyond that.
    reply->setReadBufferSize(manifestByteLimit + 1);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > manifestByteLimit) {
            const QString reason = u"The server's Version.json is longer than the %1 bytes that the update "
                                   u"check reads"_s;
            abortCheck(reply, reason.arg(manifestByteLimit));
        }
    });

    auto *silenceTimer = new QTimer(reply);
    silenceTimer->setSingleShot(true);
    // A coarse timer could end the wait up to 5 % early.
    silenceTimer->setTimerType(Qt::PreciseTimer);
    silenceTimer->setInterval(silenceLimit);
    QObject::connect(silenceTimer, &QTimer::timeout, reply, [reply, silenceLimit] {
        const double seconds = double(silenceLimit.count()) / 1000;
        abortCheck(reply, u"The update server sent nothing for %1 seconds"_s.arg(seconds));
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, silenceTimer] {
        silenceTimer->start();
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > manifestByteLimit) {
            const QString reason = u"The server's Version.json announces %1 bytes, more than the %2 that the "
                                   u"update check reads"_s;
            abortCheck(reply, reason.arg(announced).arg(manifestByteLimit));
        }
    });
    QObject::connect(reply, &QNetworkReply::redirected, silenceTimer, qOverload<>(&QTimer::start));
    QObject::connect(reply, &QNetworkReply::downloadProgress, silenceTimer, qOverload<>(&QTimer::start));
    QObject::connect(reply, &QNetworkReply::finished, silenceTimer, &QTimer::stop);
    silenceTimer->start();
}

// A failed reply as the log may show it: the error's kind, the certificate's
// problems and the address up to its query. Not errorString(), which
// quotes the address whole and the server's own status text.
QString failureForTheLog(const QNetworkReply *reply, const QStringList &certificateProblems)
{
    QString text =
        QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error()));
    if (!certificateProblems.isEmpty())
        text += u" ("_s + certificateProblems.join(u"; "_s) + u')';
    return text + u" at "_s + addressForTheLog(reply->url().toString());
}

// The outcome in one line, with why nothing is offered or why version.json
// counts as release 1, as a warning when either is said.
void logOutcome(const UpdateOffer &offer)
{
    const QString local = offer.localProblem.isEmpty()
                            ? QString::number(offer.localRelease)
                            : u"%1, as %2"_s.arg(QString::number(offer.localRelease), offer.localProblem);
    const QString verdict = offer.available         ? u"offered at "_s + addressForTheLog(offer.downloadUrl)
                          : offer.refusal.isEmpty() ? u"nothing newer"_s
                                                    : u"not offered: "_s + offer.refusal;
    const QString line = u"This is release %1; the server's is %2, %3"_s.arg(
        local, QString::number(offer.remoteRelease), verdict);
    if (offer.refusal.isEmpty() && offer.localProblem.isEmpty())
        qCInfo(velmUpdate).noquote() << line;
    else
        qCWarning(velmUpdate).noquote() << line;
}

} // namespace

UpdateCheck::UpdateCheck(const QUrl &manifestAddress, QObject *parent)
    : QObject(parent)
    , manifestAddress(manifestAddress)
{
}

void UpdateCheck::start()
{
    // Relative on purpose: the release that runs is the one in the working
    // directory.
    QFile localFile(u"version.json"_s);
    if (localFile.open(QIODevice::ReadOnly)) {
        localText = localFile.readAll();
        qCInfo(velmUpdate).noquote() << u"Asks %1 for a newer release than version.json's %2"_s.arg(
            manifestAddress.toString(), QString::fromUtf8(*localText).simplified().left(100));
    } else {
        qCWarning(velmUpdate).noquote() << u"version.json in %1 cannot be read (%2); no update will be "
                                           u"offered"_s.arg(QDir::currentPath(), localFile.errorString());
    }
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request(manifestAddress);
    // As stored: the library would otherwise inflate a compressed body out
    // of sight, holding megabytes of it before the check sees a byte.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = manager->get(request);
    boundManifestRequest(reply, silenceLimit);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            certificateProblems.append(error.errorString());
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, manager] {
        reply->deleteLater();
        manager->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            // Cancelled only by a limit, which said why.
            if (reply->error() != QNetworkReply::OperationCanceledError) {
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                qCWarning(velmUpdate).noquote()
                    << u"The update server could not be asked for Version.json%1: %2; the update is not "
                       u"offered"_s.arg(status ? u" (HTTP status %1)"_s.arg(status) : QString(),
                                        failureForTheLog(reply, certificateProblems));
            }
            report(Outcome::Failed);
            return;
        }
        if (!localText) {
            report(Outcome::Failed);
            return;
        }
        // The server's first, then ours: the order of their lines.
        const Manifest remote = readManifest(reply->readAll());
        const Manifest local = readManifest(*localText);
        const UpdateOffer offer = compareManifests(remote, local, builtInUpdateKeys());
        logOutcome(offer);
        report(offer.available ? Outcome::Offered : Outcome::Current, offer.downloadUrl);
    });
}

void UpdateCheck::report(Outcome outcome, const QString &address)
{
    QMetaObject::invokeMethod(
        this, [this, outcome, address] { emit finished(outcome, address); }, Qt::QueuedConnection);
}
