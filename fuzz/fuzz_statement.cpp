// The reconciliation sentence: every typed value stands in it verbatim, in
// order, between the fixed pieces, whatever the operator typed.
#include "fuzzinput.h"
#include "statement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QMap<int, QString> phrases = readingSourcePhrases();

    const QStringList fields = fuzzFields(data, size, 9);
    PeriodEntry entry;
    entry.date = fields[0];
    entry.sourcePhrase = phrases.value(int(fields[1].size() % 17)); // 16 is no key: empty phrase
    entry.reading = fields[2];
    entry.consumption = fields[3];
    entry.tariff = fields[4];
    entry.charged = fields[5];
    entry.overpayment = !fields[6].isEmpty();
    entry.overpaymentKind = fields[7];
    entry.overpaymentAmount = fields[8];

    const QString sentence = composeStatement(entry);

    // Walk the sentence piece by piece: each value and fixed piece must
    // stand exactly where expected, so nothing is trimmed, escaped or lost.
    QStringList pieces = {entry.date,        entry.sourcePhrase,
                          entry.reading,     QStringLiteral(". Расход составил "),
                          entry.consumption, QStringLiteral(" кВт, по тарифу "),
                          entry.tariff,      QStringLiteral(" руб. Начислено "),
                          entry.charged,     QStringLiteral(" руб.")};
    if (entry.overpayment)
        pieces << entry.overpaymentKind << QStringLiteral(", ") << entry.overpaymentAmount
               << QStringLiteral(" руб.");
    qsizetype at = 0;
    for (const QString &piece : std::as_const(pieces)) {
        FUZZ_ASSERT(QStringView(sentence).mid(at, piece.size()) == piece);
        at += piece.size();
    }
    FUZZ_ASSERT(at == sentence.size());
    return 0;
}
