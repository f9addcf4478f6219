#pragma once

#include <QString>
#include <QtGlobal>

// While it lives, the update path's messages (category velm.update) are
// also appended to OperatorVelm.log in the working directory, the log that
// Updater and the installer write too, for support to read: one line each,
// "yyyy-MM-dd HH:mm:ss <program>: <message>". Every message still goes on
// to the handler before it. The tool windows' lines, which carry the
// operator's figures, stay out.
class UpdateLog final
{
    Q_DISABLE_COPY_MOVE(UpdateLog)

public:
    explicit UpdateLog(const QString &program);
    ~UpdateLog();
};

// Appends one line to the log at path in UTF-8, moving a log past 1 MiB to
// <name>.1.log (replacing an older one) first. A log that cannot be written
// costs nothing: false, and no more.
bool appendLogLine(const QString &path, const QString &line);
