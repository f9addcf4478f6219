#pragma once

#include <QString>
#include <QtGlobal>

// The figures of one roll-over check. Readings are 32-bit, but their
// difference and everything derived from it are kept in 64 bits so that any
// pair of readings gives exact figures.
struct RolloverFigures
{
    qint64 days = 0;
    qint64 readingDifference = 0;
    qint64 dailyAverage = 0;
    qint64 addition = 0;
};

enum class RolloverStatus {
    Computed,
    InvalidDate, // a date that "dd/MM/yyyy" cannot read
    SameDay,     // no daily average over zero days
};

struct RolloverResult
{
    RolloverStatus status = RolloverStatus::InvalidDate;
    RolloverFigures figures;
};

// Works out the figures from the four fields as typed. A reading that does
// not convert to a 32-bit integer counts as 0.
RolloverResult computeRollover(const QString &previousDate, const QString &previousReading,
                               const QString &currentDate, const QString &currentReading);

// The four-line text of the result box; every line ends in a blank and a line feed.
QString rolloverText(const RolloverFigures &figures);
