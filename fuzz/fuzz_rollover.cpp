// The roll-over figures: any four fields give either a refusal or figures
// that are exact in 64 bits, never a crash or an overflow.
#include "fuzzinput.h"
#include "rollover.h"

#include <QDate>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList fields = fuzzFields(data, size, 4);
    const RolloverResult result = computeRollover(fields[0], fields[1], fields[2], fields[3]);

    const QDate from = QDate::fromString(fields[0], QStringLiteral("dd/MM/yyyy"));
    const QDate to = QDate::fromString(fields[2], QStringLiteral("dd/MM/yyyy"));
    if (!from.isValid() || !to.isValid()) {
        FUZZ_ASSERT(result.status == RolloverStatus::InvalidDate);
        return 0;
    }
    if (from == to) {
        FUZZ_ASSERT(result.status == RolloverStatus::SameDay);
        return 0;
    }
    FUZZ_ASSERT(result.status == RolloverStatus::Computed);

    const RolloverFigures &figures = result.figures;
    const qint64 difference = qint64(fields[3].toInt()) - qint64(fields[1].toInt());
    FUZZ_ASSERT(figures.days == from.daysTo(to));
    FUZZ_ASSERT(figures.readingDifference == difference);
    // Truncation toward zero: |average * days| never exceeds |difference|.
    FUZZ_ASSERT(qAbs(figures.dailyAverage * figures.days) <= qAbs(difference));
    FUZZ_ASSERT(qAbs(difference - figures.dailyAverage * figures.days) < qAbs(figures.days));
    FUZZ_ASSERT(figures.addition == figures.dailyAverage + 3);

    const QString text = rolloverText(figures);
    FUZZ_ASSERT(text.count(QLatin1Char('\n')) == 4 && text.endsWith(QStringLiteral(" \n")));
    FUZZ_ASSERT(text.contains(QString::number(figures.readingDifference)));
    return 0;
}
