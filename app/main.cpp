#include "operatorvelm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    OperatorVelm window;
    window.show();
    return QApplication::exec();
}
