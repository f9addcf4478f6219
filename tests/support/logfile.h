#pragma once

#include <QString>
#include <QStringList>

// The rows of the line rule that both programs' logs follow: columns
// "message" (what a program logs) and "text" (what its line holds after
// the date and the program's name).
void addLineRuleRows();

// The lines of the log at path as a viewer may show them: split at every
// character that ends a line somewhere (line feed, carriage return, VT, FF,
// the separators U+001C to U+001E, NEL, U+2028, U+2029). None for no file.
QStringList viewedLines(const QString &path);

// A program's own writer of the folder's log (appendLogLine).
using LogWriter = bool (*)(const QString &path, const QString &line);

// In the child of appendFromTwoProcesses (VELM_CHILD_LOG set): waits for
// the moment agreed with the parent, appends the lines asked for with writer and
// returns true, for main to end. False in any other process.
bool runAsChildLogWriter(LogWriter writer);

struct TwoWriterCount
{
    qsizetype written = 0; // lines the two processes appended
    qsizetype found = 0;   // of those, the ones in the log or .1.log once and whole
    qsizetype other = 0;   // lines in either that neither wrote nor were there before
    int olderWhole = 0;    // rounds whose .1.log holds the whole log from before
};

// rounds times, in the working directory: a log just past 1 MiB, then this
// process and a child (this program again, as runAsChildLogWriter) each
// append lines lines with writer, starting at once, so that both find the
// log due for rotation.
TwoWriterCount appendFromTwoProcesses(LogWriter writer, int rounds, int lines);
