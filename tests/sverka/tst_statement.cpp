#include "statement.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestStatement final : public QObject
{
    Q_OBJECT

private slots:
    void phrases();
    void compose_data();
    void compose();
};

void TestStatement::phrases()
{
    const QMap<int, QString> phrases = readingSourcePhrases();
    QCOMPARE(phrases.size(), 16);
    QCOMPARE(phrases.firstKey(), 0);
    QCOMPARE(phrases.lastKey(), 15);
    for (auto it = phrases.cbegin(); it != phrases.cend(); ++it) {
        const QString &phrase = it.value();
        QVERIFY2(phrase.startsWith(u' ') && !phrase.startsWith(u"  "), qPrintable(phrase));
        QVERIFY2(phrase.endsWith(u' ') && !phrase.endsWith(u"  "), qPrintable(phrase));
    }
    QCOMPARE(phrases.value(3), phrases.value(9));
    QCOMPARE(phrases.value(14), phrases.value(15));
    QCOMPARE(phrases.value(0), u" при контрольном обходе, были переданы показания "_s);
    QCOMPARE(phrases.value(13),
             u" не было передано показаний. Сумма начислилась по расчетным начислениям "_s);
    QCOMPARE(QSet<QString>(phrases.cbegin(), phrases.cend()).size(), 14);
}

void TestStatement::compose_data()
{
    QTest::addColumn<QStringList>("period"); // date, phrase, reading, consumption, tariff, charged
    QTest::addColumn<bool>("overpayment");
    QTest::addColumn<QString>("overpaymentKind");
    QTest::addColumn<QString>("overpaymentAmount");
    QTest::addColumn<QString>("expected");

    const QString visit = u" при контрольном обходе, были переданы показания "_s;
    const QStringList example = {u"01.02.2025"_s, visit, u"845"_s, u"150"_s, u"6,43"_s, u"964,50"_s};
    const QString exampleSentence = u"01.02.2025 при контрольном обходе, были переданы показания 845. "
                                    u"Расход составил 150 кВт, по тарифу 6,43 руб. Начислено 964,50 руб."_s;

    QTest::newRow("first worked example") << example << false << QString() << QString() << exampleSentence;
    QTest::newRow("second worked example") << example << true << u"Образовалась переплата"_s << u"200"_s
                                           << exampleSentence + u"Образовалась переплата, 200 руб."_s;
    QTest::newRow("unticked ignores the overpayment row")
        << example << false << u"Образовалась переплата"_s << u"200"_s << exampleSentence;
    QTest::newRow("empty overpayment amount") << example << true << u"С учетом переплаты"_s << QString()
                                              << exampleSentence + u"С учетом переплаты,  руб."_s;
    QTest::newRow("all fields empty")
        << QStringList {QString(), visit, QString(), QString(), QString(), QString()} << false << QString()
        << QString()
        << u" при контрольном обходе, были переданы показания . Расход составил  кВт, по тарифу  руб. Начислено  руб."_s;
    QTest::newRow("values kept as typed")
        << QStringList {u" 1 февраля "_s, u" по среднесуточным начислениям "_s,
                        u"84 5"_s,        u"12.5"_s,
                        u"6,43р"_s,       u"сто "_s}
        << false << QString() << QString()
        << u" 1 февраля  по среднесуточным начислениям 84 5. Расход составил 12.5 кВт, "
           u"по тарифу 6,43р руб. Начислено сто  руб."_s;
    QTest::newRow("markup stays text")
        << QStringList {u"<b>01</b>"_s, visit, u"<5"_s, u"a &amp; b"_s, u"&lt;"_s, u"<br>"_s} << true
        << u"С учетом переплаты"_s << u"<i>"_s
        << u"<b>01</b> при контрольном обходе, были переданы показания <5. Расход составил a &amp; b кВт, "
           u"по тарифу &lt; руб. Начислено <br> руб.С учетом переплаты, <i> руб."_s;
}

void TestStatement::compose()
{
    QFETCH(QStringList, period);
    PeriodEntry entry;
    entry.date = period.at(0);
    entry.sourcePhrase = period.at(1);
    entry.reading = period.at(2);
    entry.consumption = period.at(3);
    entry.tariff = period.at(4);
    entry.charged = period.at(5);
    QFETCH(bool, overpayment);
    entry.overpayment = overpayment;
    QFETCH(QString, overpaymentKind);
    entry.overpaymentKind = overpaymentKind;
    QFETCH(QString, overpaymentAmount);
    entry.overpaymentAmount = overpaymentAmount;

    QTEST(composeStatement(entry), "expected");
}

QTEST_APPLESS_MAIN(TestStatement)
#include "tst_statement.moc"
