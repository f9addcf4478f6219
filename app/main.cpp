#include "operatorvelm.h"
#include "updatelog.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // Plugins come from the program's folder alone, which the qt.conf
    // beside it names; these would put other folders before it.
    qunsetenv("QT_PLUGIN_PATH");
    qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
#endif
    QApplication application(argc, argv);
    UpdateLog log(u"OperatorVelm"_s);
    OperatorVelm window;
    window.show();
    return QApplication::exec();
}
