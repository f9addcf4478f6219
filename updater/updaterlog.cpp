#include "updaterlog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstring>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(updaterLog, "velm.update", QtInfoMsg)

namespace {

QtMessageHandler previousHandler = nullptr;

void append(const QString &message)
{
    const QString path = u"OperatorVelm.log"_s;
    if (QFileInfo(path).size() > (qint64(1) << 20)) {
        QFile::remove(u"OperatorVelm.1.log"_s);
        QFile::rename(path, u"OperatorVelm.1.log"_s);
    }
    QFile log(path);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        const QString time = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s);
        log.write(u"%1 Updater: %2\n"_s.arg(time, QString(message).replace(u'\n', u' ')).toUtf8());
    }
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && std::strcmp(context.category, "velm.update") == 0)
        append(message);
    previousHandler(type, context, message);
}

} // namespace

UpdaterLog::UpdaterLog()
{
    previousHandler = qInstallMessageHandler(handler);
}

UpdaterLog::~UpdaterLog()
{
    qInstallMessageHandler(previousHandler);
}
