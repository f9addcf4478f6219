#include "statement.h"

#include <QList>
#include <QPair>
#include <QStringList>

using namespace Qt::StringLiterals;

QMap<int, QString> readingSourcePhrases()
{
    const QList<QPair<int, QString>> pairs = {
        {0, u" при контрольном обходе, были переданы показания "_s},
        {1, u" при контрольном обходе с интеллектуальной системы учета, были зафиксированы показания "_s},
        {2, u" при контрольном обходе, были зафиксированы показания "_s},
        {3, u" были переданы показания "_s},
        {4, u" при контрольном обходе сетевой организации, были сняты показания "_s},
        {5, u" при контрольном обходе Вашей управляющей компании, были переданы показания "_s},
        {6, u" при установки прибора учета, были записаны с него показания "_s},
        {7, u" при снятии старого прибора учета, были записаны с него показания "_s},
        {8, u" были сняты дистанционно с помощью ридера показания "_s},
        {9, u" были переданы показания "_s},
        {10, u" по среднесуточным начислениям "_s},
        {11, u" по контрольному акту, были сняты показания "_s},
        {12, u" произошла смена тарифа. Были зафиксированы показания "_s},
        {13, u" не было передано показаний. Сумма начислилась по расчетным начислениям "_s},
        {14, u" было начислено по нормативу "_s},
        {15, u" было начислено по нормативу "_s},
    };
    QMap<int, QString> phrases;
    for (const auto &[key, phrase] : pairs)
        phrases.insert(key, phrase);
    return phrases;
}

QString composeStatement(const PeriodEntry &entry)
{
    QStringList pieces = {
        entry.date,        entry.sourcePhrase,
        entry.reading,     u". Расход составил "_s,
        entry.consumption, u" кВт, по тарифу "_s,
        entry.tariff,      u" руб. Начислено "_s,
        entry.charged,     u" руб."_s,
    };
    if (entry.overpayment)
        pieces << entry.overpaymentKind << u", "_s << entry.overpaymentAmount << u" руб."_s;
    return pieces.join(QString());
}
