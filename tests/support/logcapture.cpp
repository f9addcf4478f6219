#include "logcapture.h"

#include <QStringList>

namespace {
LogCapture *activeCapture = nullptr;
}

LogCapture::LogCapture()
{
    Q_ASSERT(!activeCapture);
    activeCapture = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    activeCapture = nullptr;
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line &line : m_lines)
        result.append(line.text);
    return result;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList result;
    for (const Line &line : m_lines) {
        if (line.type == type)
            result.append(line.text);
    }
    return result;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrncmp(context.category, "qt.tlsbackend", 13) == 0)
        return;
    if (activeCapture)
        activeCapture->m_lines.append({type, message});
}
