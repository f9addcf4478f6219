#include "updater.h"
#include "ui_updater.h"

#include "filedownloader.h"
#include "updaterlog.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

using namespace Qt::StringLiterals;

std::optional<qlonglong> progressPercent(qlonglong bytesReceived, qlonglong bytesTotal)
{
    if (bytesTotal <= 0)
        return std::nullopt;
    return bytesReceived * 100 / bytesTotal;
}

Updater::Updater(const QString &url, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::Updater)
    , url(url)
{
    ui->setupUi(this);
    ui->progressBar->setValue(0);

    // A folder that cannot be made shows up later as a failed save.
    QDir().mkdir(u"tmp"_s);

    downloader = new FileDownloader(this);
    connect(downloader, &FileDownloader::downloadProgress, this, &Updater::updateProgress);
    // The outcome is emitted from inside the network manager's own signal;
    // a modal box shown right there would run its event loop under the
    // manager's feet, and newer Qt deletes the finished reply in that loop.
    connect(downloader, &FileDownloader::downloadFinished, this, &Updater::downloadFinished,
            Qt::QueuedConnection);
    connect(
        downloader, &FileDownloader::downloadError, this,
        [this](const QString &error) {
            qCWarning(updaterLog).noquote() << u"Download Error: "_s + downloader->failureForTheLog();
            QMessageBox::critical(this, u"Download Error"_s, error);
            close();
        },
        Qt::QueuedConnection);
    // Query and fragment may carry tokens: the log shows neither.
    const QUrl address(url, QUrl::TolerantMode);
    qCInfo(updaterLog).noquote()
        << u"Downloads "_s + address.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
    downloader->downloadFile(url, u"tmp/"_s);
}

Updater::~Updater()
{
    delete downloader;
    delete ui;
}

void Updater::closeEvent(QCloseEvent *event)
{
    // Closed mid-transfer: drop it now, so that nothing is saved or
    // reported while the program winds down.
    downloader->cancel();
    QMainWindow::closeEvent(event);
}

void Updater::updateProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    const std::optional<qlonglong> percent = progressPercent(bytesReceived, bytesTotal);
    // Out of range (more received than announced): the bar keeps its value.
    if (percent && *percent >= ui->progressBar->minimum() && *percent <= ui->progressBar->maximum())
        ui->progressBar->setValue(int(*percent));
}

void Updater::downloadFinished()
{
    const QString saved = u"tmp/"_s + fileNameFromUrl(QUrl(url, QUrl::TolerantMode));
    const bool pinned = QUrl(url, QUrl::TolerantMode).fragment().startsWith(u"sha256="_s);
    qCInfo(updaterLog).noquote() << u"Saved %1, %2 bytes%3"_s.arg(saved)
                                        .arg(QFileInfo(saved).size())
                                        .arg(pinned ? u", its SHA-256 the one the address names"_s
                                                    : QString());
    QMessageBox::information(this, u"Download Complete"_s, u"Update downloaded successfully!"_s);
    close();
}
