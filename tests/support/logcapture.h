#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Records every message of the toolkit's logger while it lives, except the
// TLS backends' own diagnostics: those depend on the system's TLS library
// (Schannel under Wine warns about its ciphers), not on the code under test.
class LogCapture final
{
    Q_DISABLE_COPY_MOVE(LogCapture)

public:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    LogCapture();
    ~LogCapture();

    const QList<Line> &lines() const { return m_lines; }
    QStringList texts() const;
    QStringList texts(QtMsgType type) const;
    void clear() { m_lines.clear(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QList<Line> m_lines;
    QtMessageHandler m_previous = nullptr;
};
