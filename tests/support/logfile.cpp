#include "logfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

void addLineRuleRows()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");

    // A host's status text that writes a line of its own.
    QTest::newRow("CR") << u"server replied: Not Found\r2026-12-09 03:00:00 Updater: Saved tmp/forged.exe"_s
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
    QTest::newRow("Cyrillic and a path stay") << u"Ошибка: C:\\Velm\\tmp, «Версия»"_s
                                              << u"Ошибка: C:\\Velm\\tmp, «Версия»"_s;
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
