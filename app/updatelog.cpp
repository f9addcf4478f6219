#include "updatelog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

QtMessageHandler previousHandler = nullptr;
QString programName;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && std::strcmp(context.category, "velm.update") == 0) {
        QString text = message;
        text.replace(u'\n', u' ');
        appendLogLine(u"OperatorVelm.log"_s,
                      u"%1 %2: %3"_s.arg(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s),
                                         programName, text));
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

UpdateLog::UpdateLog(const QString &program)
{
    programName = program;
    previousHandler = qInstallMessageHandler(handler);
}

UpdateLog::~UpdateLog()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

bool appendLogLine(const QString &path, const QString &line)
{
    constexpr qint64 sizeLimit = qint64(1) << 20;
    if (QFileInfo(path).size() > sizeLimit) {
        const QString older = path.chopped(4) + u".1.log"_s;
        QFile::remove(older);
        QFile::rename(path, older);
    }
    QFile log(path);
    const QByteArray bytes = (line + u'\n').toUtf8();
    return log.open(QIODevice::WriteOnly | QIODevice::Append) && log.write(bytes) == bytes.size();
}
