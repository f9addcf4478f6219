// Downloads one address with FileDownloader, as Updater does but without a
// window, and quits on the outcome: exit code 0 on success, 1 on failure.
// Usage: velm_download_bench <address> <folder prefix ending in "/">
#include "filedownloader.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        QTextStream(stderr) << "usage: velm_download_bench <address> <folder prefix>\n";
        return 2;
    }

    FileDownloader downloader;
    QObject::connect(&downloader, &FileDownloader::downloadFinished, &application,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&downloader, &FileDownloader::downloadError, &application, [](const QString &error) {
        QTextStream(stderr) << error << '\n';
        QCoreApplication::exit(1);
    });
    downloader.downloadFile(arguments.at(1), arguments.at(2));
    return QCoreApplication::exec();
}
