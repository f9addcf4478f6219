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
    return u"Разница в днях: "_s + QString::number(figures.days) + u" дней. \n"_s
         + u"Разница в показаниях: "_s + QString::number(figures.readingDifference) + u" кВт. \n"_s
         + u"кВт: "_s + QString::number(figures.dailyAverage) + u" кВт. \n"_s
         + u"Добавляй "_s + QString::number(figures.addition) + u" кВт. \n"_s;
}
