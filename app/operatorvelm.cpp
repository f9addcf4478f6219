#include "operatorvelm.h"
#include "ui_operatorvelm.h"

#include "manifest.h"
#include "perekrut.h"
#include "sverka.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>

#include <utility>

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
    qWarning().noquote() << reason + u"; the update is not offered"_s;
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

} // namespace

OperatorVelm::OperatorVelm(QWidget *parent)
    : OperatorVelm(manifestUrl(QStringLiteral(VELM_UPDATE_HOST)),
                   defaultUpdaterProgram(QCoreApplication::applicationDirPath()), parent)
{
}

OperatorVelm::OperatorVelm(const QUrl &manifestAddress, const QString &updaterProgram, QWidget *parent,
                           std::chrono::milliseconds silenceLimit)
    : QMainWindow(parent)
    , ui(new Ui::OperatorVelm)
    , manifestAddress(manifestAddress)
    , updaterProgram(updaterProgram)
    , silenceLimit(silenceLimit)
{
    ui->setupUi(this);

    // The tool windows have no parent so that each is a window of its own;
    // they live as long as this window and keep what was typed into them.
    perekrutWindow = new Perekrut(nullptr);
    sverkaWindow = new Sverka(nullptr);

    // Last: the outcome arrives through the event loop and needs the form.
    checkForUpdates([this](bool available) { showUpdateOutcome(available); });
}

OperatorVelm::~OperatorVelm()
{
    delete ui;
    delete perekrutWindow;
    delete sverkaWindow;
}

bool OperatorVelm::checkForUpdates(std::function<void(bool)> callback)
{
    // A child of the window, so that a check still running when the window
    // goes takes its reply and any queued outcome along.
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request(manifestAddress);
    // As stored: the library would otherwise inflate a compressed body out
    // of sight, holding megabytes of it before the check sees a byte.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = manager->get(request);
    boundManifestRequest(reply, silenceLimit);
    connect(reply, &QNetworkReply::finished, reply, [this, reply, manager, callback = std::move(callback)] {
        UpdateOffer offer;
        if (reply->error() == QNetworkReply::NoError) {
            const QByteArray remoteText = reply->readAll();
            // Relative on purpose: the release that runs is the one in the
            // working directory.
            QFile localFile(u"version.json"_s);
            if (localFile.open(QIODevice::ReadOnly)) {
                const QByteArray localText = localFile.readAll();
                localFile.close();
                offer = compareManifests(remoteText, localText, builtInUpdateKeys());
            }
        }
        if (offer.available)
            downloadUrl = offer.downloadUrl;

        reply->deleteLater();
        manager->deleteLater();
        // Reported from a later pass of the event loop, never from inside
        // the reply's signal.
        QMetaObject::invokeMethod(
            this, [callback, available = offer.available] { callback(available); }, Qt::QueuedConnection);
    });
    return true;
}

int OperatorVelm::getVersion(const QByteArray &jsonData)
{
    return readManifest(jsonData).releaseNumber;
}

void OperatorVelm::showUpdateOutcome(bool available)
{
    ui->btnUpdater->setText(available ? u"Доступно обновление"_s : u"Версия актуальна"_s);
    ui->btnUpdater->setEnabled(available);
}

namespace {

// Brings the tool window back in whatever state the operator left it:
// hidden, minimized or behind another window. Maximized stays maximized.
void showOnTop(QWidget *window)
{
    window->setWindowFlags(window->windowFlags() | Qt::WindowStaysOnTopHint);
    // show() alone does nothing for a window that is minimized but counts
    // as visible.
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

void OperatorVelm::on_btnBlockPerekrut_clicked()
{
    showOnTop(perekrutWindow);
}

void OperatorVelm::on_btnSverka_clicked()
{
    showOnTop(sverkaWindow);
}

void OperatorVelm::on_btnUpdater_clicked()
{
    const QString address = downloadUrl;
    qDebug().noquote() << u"URL Download: "_s + address;
    // An empty working directory: the updater saves below the one we run in.
    if (!QProcess::startDetached(updaterProgram, updaterArguments(address), QString())) {
        // Quitting now would leave the operator with neither program.
        QMessageBox::warning(this, u"Ошибка"_s, u"Не удалось запустить программу обновления."_s);
        return;
    }
    QCoreApplication::quit();
}
