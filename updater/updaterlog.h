#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

// The update path's messages: the download and its outcome.
Q_DECLARE_LOGGING_CATEGORY(updaterLog)

// While it lives, messages of updaterLog (category velm.update) are also
// appended to OperatorVelm.log in the working directory, the folder's log
// of the update that OperatorVelm and the installer write too: one line
// each, "yyyy-MM-dd HH:mm:ss Updater: <message>", the message as logText
// makes it. Every message still goes on, unchanged, to the handler before it.
class UpdaterLog final
{
    Q_DISABLE_COPY_MOVE(UpdaterLog)

public:
    UpdaterLog();
    ~UpdaterLog();
};

// A message as one line of the log may hold it, whoever wrote its words:
// every character that could end or redraw a line (C0 and C1 controls, DEL,
// U+2028, U+2029, the bidirectional controls) as a visible escape (\x0D,
// \u2028), every address without its query and fragment, and at most 1,000
// characters, a cut one ending in a note that says so. OperatorVelm writes
// its lines by the same rule.
QString logText(const QString &message);

// Appends one line to the log at path in UTF-8, moving a log past 1 MiB to
// <name>.1.log (replacing an older one) first. Safe with other processes
// appending and rotating at once: rotation happens under the lock
// <path>.lock, which OperatorVelm takes too (on Windows every line does), and
// every line goes to the end of the file as it is then (Windows:
// FILE_APPEND_DATA, as the installer appends).
// Without the lock within a second the line is appended all the same,
// unrotated. True once the file has taken the whole line; a log that
// cannot be written costs nothing else.
bool appendLogLine(const QString &path, const QString &line);
