#include "logfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <chrono>

using namespace Qt::StringLiterals;

void addLineRuleRows()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");

    // A host's status text that writes a line of its own.
    QTest::newRow("CR")
        << u"server replied: Not Found\r2026-12-09 03:00:00 Updater: Saved tmp/forged.exe"_s
        << u"server replied: Not Found\\x0D2026-12-09 03:00:00 Updater: Saved tmp/forged.exe"_s;
    QTest::newRow("LF and tab") << u"one\ntwo\tthree"_s << u"one\\x0Atwo\\x09three"_s;
    QTest::newRow("VT") << u"a\u000Bb"_s << u"a\\x0Bb"_s;
    QTest::newRow("ESC") << u"\u001B[2K\u001B[1Agone"_s << u"\\x1B[2K\\x1B[1Agone"_s;
    QTest::newRow("NUL") << u"before"_s + QChar(0) + u"after"_s << u"before\\x00after"_s;
    QTest::newRow("DEL") << u"a\u007Fb"_s << u"a\\x7Fb"_s;
    QTest::newRow("NEL") << u"a\u0085b"_s << u"a\\x85b"_s;
    QTest::newRow("U+2028") << u"a\u2028b\u2029c"_s << u"a\\u2028b\\u2029c"_s;
    QTest::newRow("bidi override") << u"setup.\u202Eexe.txt\u202C \u2066x\u2069"_s
                                   << u"setup.\\u202Eexe.txt\\u202C \\u2066x\\u2069"_s;
    QTest::newRow("Cyrillic and a path stay")
        << u"Ошибка: C:\\Velm\\tmp, «Версия»"_s << u"Ошибка: C:\\Velm\\tmp, «Версия»"_s;
    QTest::newRow("address with a query inside an error text")
        << u"Error transferring https://u.example/f.exe?token=SECRET#sha256=00 - server replied: Not Found"_s
        << u"Error transferring https://u.example/f.exe - server replied: Not Found"_s;
    QTest::newRow("quoted address with a fragment")
        << u"its address (\"URL\") \"ftp://u.example/f.exe#key=1\" is refused"_s
        << u"its address (\"URL\") \"ftp://u.example/f.exe\" is refused"_s;
    const QString note = u" [cut: 60000 characters in all]"_s;
    QTest::newRow("60,000 characters") << QString(60000, u'x') << QString(960, u'x') + note;
    QTest::newRow("60,000 CRs") << QString(60000, u'\r') << u"\\x0D"_s.repeated(240) + note;
    QTest::newRow("30,000 emoji") << u"\U0001F600"_s.repeated(30000) << u"\U0001F600"_s.repeated(480) + note;
    QTest::newRow("1,000 characters") << QString(1000, u'y') << QString(1000, u'y');
}

QStringList viewedLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression lineEnd(u"\r\n|[\n\r\u000B\u000C\u001C-\u001E\u0085\u2028\u2029]"_s);
    QStringList lines = QString::fromUtf8(file.readAll()).split(lineEnd);
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

namespace {

QString writerLine(const QString &writer, int round, int index)
{
    // About as long as a line of the check's.
    return u"2026-12-09 03:00:00 %1: line %2 of round %3 "_s.arg(writer).arg(index).arg(round)
         + QString(60, u'=');
}

const QByteArray earlierLine = "2026-12-08 10:00:00 OperatorVelm: earlier line ";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Microseconds of the system clock, which both processes read alike.
qint64 now()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// Spins rather than sleeps, so that both processes start within
// microseconds of each other.
void waitUntil(qint64 start)
{
    while (now() < start) { }
}

} // namespace

bool runAsChildLogWriter(LogWriter writer)
{
    if (!qEnvironmentVariableIsSet("VELM_CHILD_LOG"))
        return false;
    waitUntil(qEnvironmentVariable("VELM_CHILD_LOG_START").toLongLong());
    const QString path = qEnvironmentVariable("VELM_CHILD_LOG");
    const int round = qEnvironmentVariableIntValue("VELM_CHILD_LOG_ROUND");
    const int lines = qEnvironmentVariableIntValue("VELM_CHILD_LOG_LINES");
    for (int i = 0; i < lines; ++i)
        writer(path, writerLine(u"child"_s, round, i));
    return true;
}

TwoWriterCount appendFromTwoProcesses(LogWriter writer, int rounds, int lines)
{
    const QString path = u"OperatorVelm.log"_s;
    const QString older = u"OperatorVelm.1.log"_s;
    QByteArray before;
    for (int i = 0; before.size() <= (qsizetype(1) << 20); ++i)
        before += earlierLine + QByteArray::number(i) + '\n';

    TwoWriterCount count;
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(older);
        QFile log(path);
        if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate) || log.write(before) != before.size())
            return count;
        log.close();

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VELM_CHILD_LOG"_s, QFileInfo(path).absoluteFilePath());
        environment.insert(u"VELM_CHILD_LOG_ROUND"_s, QString::number(round));
        environment.insert(u"VELM_CHILD_LOG_LINES"_s, QString::number(lines));
        // Time enough for the child to start.
        const qint64 start = now() + 150000;
        environment.insert(u"VELM_CHILD_LOG_START"_s, QString::number(start));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForStarted(10000))
            return count;
        waitUntil(start);
        for (int i = 0; i < lines; ++i)
            writer(path, writerLine(u"parent"_s, round, i));
        child.waitForFinished(30000);

        count.olderWhole += readAll(older).startsWith(before) ? 1 : 0;
        QHash<QByteArray, int> tally;
        for (const QString &writerName : {u"parent"_s, u"child"_s}) {
            for (int i = 0; i < lines; ++i)
                tally.insert(writerLine(writerName, round, i).toUtf8(), 0);
        }
        QList<QByteArray> seen = (readAll(older) + readAll(path)).split('\n');
        seen.removeLast(); // after the last line end
        for (const QByteArray &line : std::as_const(seen)) {
            if (tally.contains(line))
                ++tally[line];
            else if (!line.startsWith(earlierLine))
                ++count.other;
        }
        for (const int times : std::as_const(tally))
            count.found += times == 1 ? 1 : 0;
        count.written += 2 * qsizetype(lines);
    }
    return count;
}
