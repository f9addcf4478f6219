#include "commandline.h"
#include "updater.h"
#include "updaterlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // Plugins come from the program's folder alone, which the qt.conf
    // beside it names; these would put other folders before it.
    qunsetenv("QT_PLUGIN_PATH");
    qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
#endif
    QApplication application(argc, argv);
    const UpdaterLog log;
    // The application object's own list: Unicode on every platform, with
    // the toolkit's options already taken out.
    Updater window(parseUrl(QCoreApplication::arguments()));
    window.show();
    return QApplication::exec();
}
