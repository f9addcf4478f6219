#include "updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(velmUpdate, "velm.update", QtInfoMsg)

namespace {

QtMessageHandler previousHandler = nullptr;
QString programName;

constexpr qsizetype logTextLimit = 1000;
// Room kept for the note of a cut text.
constexpr qsizetype cutNoteRoom = 40;

bool redrawsTheLine(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f
        || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

#ifdef Q_OS_WIN
// Windows puts appends one after the other, but Wine looks up the end and
// then writes there, so that two lines can land on one place: each line
// waits for the lock.
constexpr bool everyLineTakesTheLock = true;

// Append-only access, as the installer appends: each write lands at the end
// of the file as it is at that moment, whoever else appends.
bool appendBytes(const QString &path, const QByteArray &bytes)
{
    const HANDLE file =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                      FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool wrote = ::WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
                    && written == DWORD(bytes.size());
    return ::CloseHandle(file) && wrote;
}
#else
// The lock file costs a disk sync here; only a rotation needs it.
constexpr bool everyLineTakesTheLock = false;

// O_APPEND and one unbuffered write: the system puts the line at the end,
// whoever else appends.
bool appendBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)
        || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return file.error() == QFileDevice::NoError;
}
#endif

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // The category's own name, so that a lookalike category stays out.
    if (context.category == velmUpdate().categoryName()) {
        appendLogLine(u"OperatorVelm.log"_s,
                      u"%1 %2: %3"_s.arg(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s),
                                         programName, logText(message)));
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

QString logText(const QString &message)
{
    // A query or fragment may carry tokens; an address ends at white space
    // or a quote.
    static const QRegularExpression query(u"([A-Za-z][A-Za-z0-9+.-]*://[^\\s\"?#]*)[?#][^\\s\"]*"_s);
    const QString words = QString(message).replace(query, u"\\1"_s);
    QString text;
    qsizetype kept = 0; // where a cut text ends: never inside an escape or a surrogate pair
    qsizetype i = 0;
    for (; i < words.size() && text.size() <= logTextLimit; ++i) {
        const QChar c = words.at(i);
        if (!redrawsTheLine(c.unicode()))
            text += c;
        else if (c.unicode() < 0x100)
            text += u"\\x"_s + QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0');
        else
            text += u"\\u"_s + QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0');
        if (text.size() <= logTextLimit - cutNoteRoom && !c.isHighSurrogate())
            kept = text.size();
    }
    if (i == words.size() && text.size() <= logTextLimit)
        return text;
    text.truncate(kept);
    return text + u" [cut: %1 characters in all]"_s.arg(words.size());
}

bool appendLogLine(const QString &path, const QString &line)
{
    constexpr qint64 sizeLimit = qint64(1) << 20;
    // Only the lock's holder rotates, after looking at the size again: a
    // second writer would drop the first one's fresh .1.log. A holder that
    // died leaves a stale lock, which tryLock clears; one that hangs costs
    // the rotation, not the line.
    QLockFile lock(path + u".lock"_s);
    if ((everyLineTakesTheLock || QFileInfo(path).size() > sizeLimit) && lock.tryLock(1000)
        && QFileInfo(path).size() > sizeLimit) {
        const QString older = path.chopped(4) + u".1.log"_s;
        QFile::remove(older);
        QFile::rename(path, older);
    }
    return appendBytes(path, (line + u'\n').toUtf8());
}
