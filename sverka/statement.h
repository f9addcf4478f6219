#pragma once

#include <QMap>
#include <QString>

// What the operator typed for one billing period. Every value is used as
// typed: nothing is parsed, trimmed or converted.
struct PeriodEntry
{
    QString date;
    QString sourcePhrase; // the phrase of the chosen reading source
    QString reading;
    QString consumption;
    QString tariff;
    QString charged;
    bool overpayment = false;
    QString overpaymentKind;
    QString overpaymentAmount;
};

// The phrase of each reading-source code, keyed by its index in the list.
QMap<int, QString> readingSourcePhrases();

// The explanatory sentence of one billing period.
QString composeStatement(const PeriodEntry &entry);
