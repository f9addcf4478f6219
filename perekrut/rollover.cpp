#include "rollover.h"

#include <QDate>

using namespace Qt::StringLiterals;

namespace {

qint64 readingValue(const QString &text)
{
    return text.toInt(nullptr, 10);
}

} // namespace

RolloverResult computeRollover(const QString &previousDate, const QString &previousReading,
                               const QString &currentDate, const QString &currentReading)
{
    const qint64 previous = readingValue(previousReading);
    const qint64 current = readingValue(currentReading);

    const QString format = u"dd/MM/yyyy"_s;
    const QDate from = QDate::fromString(previousDate, format);
    const QDate to = QDate::fromString(currentDate, format);

    RolloverResult result;
    if (!from.isValid() || !to.isValid()) {
        result.status = RolloverStatus::InvalidDate;
        return result;
    }

    RolloverFigures &figures = result.figures;
    figures.days = from.daysTo(to);
    if (figures.days == 0) {
        result.status = RolloverStatus::SameDay;
        return result;
    }
    figures.readingDifference = current - previous;
    // C++ division truncates toward zero, which is what the operators expect.
    figures.dailyAverage = figures.readingDifference / figures.days;
    figures.addition = figures.dailyAverage + 3;
    result.status = RolloverStatus::Computed;
    return result;
}

QString rolloverText(const RolloverFigures &figures)
{
    return u"Разница в днях: %1 дней. \n"
           u"Разница в показаниях: %2 кВт. \n"
           u"кВт: %3 кВт. \n"
           u"Добавляй %4 кВт. \n"_s.arg(
               QString::number(figures.days), QString::number(figures.readingDifference),
               QString::number(figures.dailyAverage), QString::number(figures.addition));
}
