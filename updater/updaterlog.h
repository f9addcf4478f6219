#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

// The update path's messages: the download and its outcome.
Q_DECLARE_LOGGING_CATEGORY(updaterLog)

// While it lives, messages of updaterLog (category velm.update) are also
// appended to OperatorVelm.log in the working directory, the folder's log
// of the update that OperatorVelm and the installer write too: one line
// each, "yyyy-MM-dd HH:mm:ss Updater: <message>", in UTF-8, the log moved
// to OperatorVelm.1.log past 1 MiB. A log that cannot be written costs
// nothing. Every message still goes on to the handler before it.
class UpdaterLog final
{
    Q_DISABLE_COPY_MOVE(UpdaterLog)

public:
    UpdaterLog();
    ~UpdaterLog();
};
