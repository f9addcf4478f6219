#include "rollover.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestRollover final : public QObject
{
    Q_OBJECT

private slots:
    void figures_data();
    void figures();
    void refusedDates_data();
    void refusedDates();
    void text_data();
    void text();
};

void TestRollover::figures_data()
{
    QTest::addColumn<QString>("previousDate");
    QTest::addColumn<QString>("previousReading");
    QTest::addColumn<QString>("currentDate");
    QTest::addColumn<QString>("currentReading");
    QTest::addColumn<qint64>("days");
    QTest::addColumn<qint64>("difference");
    QTest::addColumn<qint64>("average");
    QTest::addColumn<qint64>("addition");

    QTest::newRow("worked example") << u"01/01/2024"_s << u"1000"_s << u"31/01/2024"_s << u"1300"_s << 30LL
                                    << 300LL << 10LL << 13LL;
    QTest::newRow("one day apart") << u"28/02/2024"_s << u"100"_s << u"29/02/2024"_s << u"157"_s << 1LL
                                   << 57LL << 57LL << 60LL;
    QTest::newRow("lower current reading")
        << u"01/01/2024"_s << u"1300"_s << u"31/01/2024"_s << u"1000"_s << 30LL << -300LL << -10LL << -7LL;
    QTest::newRow("current date earlier")
        << u"31/01/2024"_s << u"1000"_s << u"01/01/2024"_s << u"1300"_s << -30LL << 300LL << -10LL << -7LL;
    QTest::newRow("truncates positive toward zero")
        << u"01/01/2024"_s << u"0"_s << u"31/01/2024"_s << u"299"_s << 30LL << 299LL << 9LL << 12LL;
    QTest::newRow("truncates negative toward zero")
        << u"01/03/2024"_s << u"7"_s << u"03/03/2024"_s << u"0"_s << 2LL << -7LL << -3LL << 0LL;
    QTest::newRow("negative readings")
        << u"01/01/2024"_s << u"-50"_s << u"11/01/2024"_s << u"-150"_s << 10LL << -100LL << -10LL << -7LL;
    QTest::newRow("letters in a reading count as 0")
        << u"01/01/2024"_s << u"12a"_s << u"11/01/2024"_s << u"100"_s << 10LL << 100LL << 10LL << 13LL;
    QTest::newRow("blank reading counts as 0")
        << u"01/01/2024"_s << u"500"_s << u"11/01/2024"_s << u" "_s << 10LL << -500LL << -50LL << -47LL;
    QTest::newRow("empty readings") << u"01/01/2024"_s << QString() << u"11/01/2024"_s << QString() << 10LL
                                    << 0LL << 0LL << 3LL;
    QTest::newRow("decimal point counts as 0")
        << u"01/01/2024"_s << u"10.5"_s << u"11/01/2024"_s << u"100"_s << 10LL << 100LL << 10LL << 13LL;
    QTest::newRow("beyond 32 bits counts as 0")
        << u"01/01/2024"_s << u"2147483648"_s << u"02/01/2024"_s << u"10"_s << 1LL << 10LL << 10LL << 13LL;
    QTest::newRow("leap year February")
        << u"01/02/2024"_s << u"0"_s << u"01/03/2024"_s << u"290"_s << 29LL << 290LL << 10LL << 13LL;
    // 64-bit arithmetic: these overflow a 32-bit difference or addition.
    QTest::newRow("top of the range over one day")
        << u"01/01/2024"_s << u"0"_s << u"02/01/2024"_s << u"2147483647"_s << 1LL << 2147483647LL
        << 2147483647LL << 2147483650LL;
    QTest::newRow("full 32-bit span")
        << u"01/01/2024"_s << u"-2147483648"_s << u"02/01/2024"_s << u"2147483647"_s << 1LL << 4294967295LL
        << 4294967295LL << 4294967298LL;
    QTest::newRow("full span downwards")
        << u"01/01/2024"_s << u"2147483647"_s << u"02/01/2024"_s << u"-2147483648"_s << 1LL << -4294967295LL
        << -4294967295LL << -4294967292LL;
}

void TestRollover::figures()
{
    QFETCH(QString, previousDate);
    QFETCH(QString, previousReading);
    QFETCH(QString, currentDate);
    QFETCH(QString, currentReading);

    const RolloverResult result = computeRollover(previousDate, previousReading, currentDate, currentReading);

    QCOMPARE(result.status, RolloverStatus::Computed);
    QTEST(result.figures.days, "days");
    QTEST(result.figures.readingDifference, "difference");
    QTEST(result.figures.dailyAverage, "average");
    QTEST(result.figures.addition, "addition");
}

void TestRollover::refusedDates_data()
{
    QTest::addColumn<QString>("previousDate");
    QTest::addColumn<QString>("currentDate");
    QTest::addColumn<RolloverStatus>("status");

    const QString good = u"01/01/2024"_s;
    QTest::newRow("dots instead of slashes") << u"01.01.2024"_s << good << RolloverStatus::InvalidDate;
    QTest::newRow("empty previous") << QString() << good << RolloverStatus::InvalidDate;
    QTest::newRow("empty current") << good << QString() << RolloverStatus::InvalidDate;
    QTest::newRow("no such day") << good << u"31/02/2024"_s << RolloverStatus::InvalidDate;
    QTest::newRow("not a leap year") << good << u"29/02/2023"_s << RolloverStatus::InvalidDate;
    QTest::newRow("letters") << u"first/01/2024"_s << good << RolloverStatus::InvalidDate;
    QTest::newRow("missing part") << good << u"01/2024"_s << RolloverStatus::InvalidDate;
    QTest::newRow("trailing text") << good << u"01/02/2024 "_s << RolloverStatus::InvalidDate;
    QTest::newRow("leading blank") << u" 01/01/2024"_s << good << RolloverStatus::InvalidDate;
    QTest::newRow("same day") << good << good << RolloverStatus::SameDay;
}

void TestRollover::refusedDates()
{
    QFETCH(QString, previousDate);
    QFETCH(QString, currentDate);

    const RolloverResult result = computeRollover(previousDate, u"100"_s, currentDate, u"200"_s);

    QTEST(result.status, "status");
}

void TestRollover::text_data()
{
    QTest::addColumn<qint64>("days");
    QTest::addColumn<qint64>("difference");
    QTest::addColumn<qint64>("average");
    QTest::addColumn<qint64>("addition");
    QTest::addColumn<QString>("expected");

    QTest::newRow("worked example")
        << 30LL << 300LL << 10LL << 13LL
        << u"Разница в днях: 30 дней. \nРазница в показаниях: 300 кВт. \nкВт: 10 кВт. \nДобавляй 13 кВт. \n"_s;
    QTest::newRow("negative figures")
        << -30LL << -300LL << 10LL << -7LL
        << u"Разница в днях: -30 дней. \nРазница в показаниях: -300 кВт. \nкВт: 10 кВт. \nДобавляй -7 кВт. \n"_s;
    QTest::newRow("beyond 32 bits")
        << 1LL << 4294967295LL << 4294967295LL << 4294967298LL
        << u"Разница в днях: 1 дней. \nРазница в показаниях: 4294967295 кВт. \nкВт: 4294967295 кВт. \nДобавляй 4294967298 кВт. \n"_s;
}

void TestRollover::text()
{
    QFETCH(qint64, days);
    QFETCH(qint64, difference);
    QFETCH(qint64, average);
    QFETCH(qint64, addition);

    QTEST(rolloverText({days, difference, average, addition}), "expected");
}

QTEST_APPLESS_MAIN(TestRollover)
#include "tst_rollover.moc"
