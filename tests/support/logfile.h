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
