#include "commandline.h"

using namespace Qt::StringLiterals;

QString parseUrl(const QStringList &arguments)
{
    const QString longOption = u"--url="_s;
    QString address;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == u"-u"_s && i + 1 < arguments.size()) {
            address = arguments.at(++i);
        } else if (argument.startsWith(longOption)) {
            // Everything after the option's own "=": a query keeps its "=" signs.
            address = argument.mid(longOption.size());
        }
    }
    return address;
}
