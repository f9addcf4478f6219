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

#include <utility>

using namespace Qt::StringLiterals;

namespace {

// The key the server's manifest must be signed with, fixed at build time
// (checked there to be 32 bytes in base64); empty when none was given.
QByteArray builtInUpdateKey()
{
    return QByteArray::fromBase64(QByteArrayLiteral(VELM_UPDATE_KEY));
}

} // namespace

OperatorVelm::OperatorVelm(QWidget *parent)
    : OperatorVelm(manifestUrl(QStringLiteral(VELM_UPDATE_HOST)),
                   defaultUpdaterProgram(QCoreApplication::applicationDirPath()), parent)
{
}

OperatorVelm::OperatorVelm(const QUrl &manifestAddress, const QString &updaterProgram, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::OperatorVelm)
    , manifestAddress(manifestAddress)
    , updaterProgram(updaterProgram)
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
    QNetworkReply *reply = manager->get(QNetworkRequest(manifestAddress));
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
                offer = compareManifests(remoteText, localText, builtInUpdateKey());
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
