#include "operatorvelm.h"
#include "updatelog.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    UpdateLog log(u"OperatorVelm"_s);
    OperatorVelm window;
    window.show();
    return QApplication::exec();
}
