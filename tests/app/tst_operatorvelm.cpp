#include "operatorvelm.h"

#include "lookup.h"

#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QTest>
#include <QTextBrowser>

using namespace Qt::StringLiterals;

namespace {

QWidget *topLevelNamed(const QString &name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name)
            return widget;
    }
    return nullptr;
}

} // namespace

class TestOperatorVelm final : public QObject
{
    Q_OBJECT

private slots:
    void startingState();
    void spacerTakesTheExtraHeight();
    void toolWindowIsReusedAndKeepsContents_data();
    void toolWindowIsReusedAndKeepsContents();
    void toolWindowsGoWithTheMainWindow();
};

void TestOperatorVelm::startingState()
{
    OperatorVelm window;
    QCOMPARE(window.objectName(), u"OperatorVelm"_s);
    QCOMPARE(window.windowTitle(), u"OperatorVelm"_s);
    QCOMPARE(window.size(), QSize(269, 240));

    const QList<std::tuple<QString, QString, bool>> buttons = {
        {u"btnBlockPerekrut"_s, u"Блокировка Перекрутов"_s, true},
        {u"btnSverka"_s, u"Сверка Расчетов"_s, true},
        {u"btnAbout"_s, u"О Программе"_s, false},
        {u"btnUpdater"_s, u"Обновлений нет"_s, false},
    };
    for (const auto &[name, text, enabled] : buttons) {
        QCOMPARE(child<QPushButton>(window, name)->text(), text);
        QCOMPARE(child<QPushButton>(window, name)->isEnabled(), enabled);
    }

    // Both tool windows exist from the start, hidden and without a parent.
    for (const QString &name : {u"Perekrut"_s, u"Sverka"_s}) {
        QWidget *tool = topLevelNamed(name);
        QVERIFY2(tool, qPrintable(name));
        QVERIFY(!tool->isVisible());
        QVERIFY(!tool->parentWidget());
    }
}

void TestOperatorVelm::spacerTakesTheExtraHeight()
{
    OperatorVelm window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int gapBefore =
        child<QPushButton>(window, u"btnAbout"_s)->y() - child<QPushButton>(window, u"btnSverka"_s)->y();
    const int heightBefore = child<QPushButton>(window, u"btnSverka"_s)->height();

    window.resize(269, 440);
    QTRY_COMPARE_WITH_TIMEOUT(window.centralWidget()->height() > 400, true, 5000);
    QCOMPARE(child<QPushButton>(window, u"btnAbout"_s)->y() - child<QPushButton>(window, u"btnSverka"_s)->y(),
             gapBefore + 200);
    QCOMPARE(child<QPushButton>(window, u"btnSverka"_s)->height(), heightBefore);
}

void TestOperatorVelm::toolWindowIsReusedAndKeepsContents_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<QString>("windowName");
    QTest::addColumn<QString>("fieldName");
    QTest::addColumn<bool>("minimized"); // left minimized instead of closed

    QTest::newRow("Perekrut") << u"btnBlockPerekrut"_s << u"Perekrut"_s << u"lineEditPreviousData"_s << false;
    QTest::newRow("Sverka") << u"btnSverka"_s << u"Sverka"_s << u"lineEditKVT"_s << false;
    QTest::newRow("Perekrut, minimized")
        << u"btnBlockPerekrut"_s << u"Perekrut"_s << u"lineEditPreviousData"_s << true;
    QTest::newRow("Sverka, minimized") << u"btnSverka"_s << u"Sverka"_s << u"lineEditKVT"_s << true;
}

void TestOperatorVelm::toolWindowIsReusedAndKeepsContents()
{
    QFETCH(QString, buttonName);
    QFETCH(QString, windowName);
    QFETCH(QString, fieldName);
    QFETCH(bool, minimized);

    OperatorVelm window;
    window.show();
    QWidget *tool = topLevelNamed(windowName);
    QVERIFY(tool);
    const qsizetype topLevelCount = QApplication::topLevelWidgets().size();

    QTest::mouseClick(child<QPushButton>(window, buttonName), Qt::LeftButton);
    QVERIFY(tool->isVisible());
    QVERIFY(tool->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    auto *field = tool->findChild<QLineEdit *>(fieldName);
    QVERIFY(field);
    QTest::keyClicks(field, u"12345"_s);
    if (minimized) {
        tool->showMinimized();
        QVERIFY(tool->isMinimized());
    } else {
        QVERIFY(tool->close());
        QVERIFY(!tool->isVisible());
    }

    // A second and a third click show the same window again, contents kept.
    QTest::mouseClick(child<QPushButton>(window, buttonName), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(window, buttonName), Qt::LeftButton);
    QCOMPARE(topLevelNamed(windowName), tool);
    QCOMPARE(QApplication::topLevelWidgets().size(), topLevelCount);
    QVERIFY(tool->isVisible());
    QVERIFY(!tool->isMinimized());
    QVERIFY(QTest::qWaitForWindowActive(tool));
    QVERIFY(tool->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(field->text(), u"12345"_s);
}

void TestOperatorVelm::toolWindowsGoWithTheMainWindow()
{
    QPointer<QWidget> perekrut;
    QPointer<QWidget> sverka;
    {
        OperatorVelm window;
        perekrut = topLevelNamed(u"Perekrut"_s);
        sverka = topLevelNamed(u"Sverka"_s);
        QVERIFY(perekrut && sverka);
    }
    QVERIFY(!perekrut);
    QVERIFY(!sverka);
}

QTEST_MAIN(TestOperatorVelm)
#include "tst_operatorvelm.moc"
