#pragma once

#include <QMainWindow>
#include <QString>

#include <optional>

QT_BEGIN_NAMESPACE
namespace Ui {
class Updater;
}
QT_END_NAMESPACE

class FileDownloader;

// The bar's percentage for a progress report, computed in 64 bits and
// truncated; nothing while the total is unknown (-1) or 0.
std::optional<qlonglong> progressPercent(qlonglong bytesReceived, qlonglong bytesTotal);

// Downloads the one file named on the command line into "tmp/" below the
// working directory, shows the progress and reports the outcome in a box,
// then closes.
class Updater final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Updater)

public:
    explicit Updater(const QString &url = QString(), QWidget *parent = nullptr);
    ~Updater() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void updateProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void downloadFinished();

private:
    Ui::Updater *ui;
    QString url;
    FileDownloader *downloader = nullptr;
};
