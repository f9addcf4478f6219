#include "commandline.h"
#include "updater.h"
#include "updaterlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const UpdaterLog log;
    // The application object's own list: Unicode on every platform, with
    // the toolkit's options already taken out.
    Updater window(parseUrl(QCoreApplication::arguments()));
    window.show();
    return QApplication::exec();
}
