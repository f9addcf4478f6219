#pragma once

#include <QString>
#include <QStringList>

// The download address from Updater's arguments, the program's own name
// first, as the application object hands them over. "-u <address>" and
// "--url=<address>" are read, case-sensitively; the last one wins and
// anything else is ignored. Without either the address is empty.
QString parseUrl(const QStringList &arguments);
