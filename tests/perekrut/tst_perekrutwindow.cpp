#include "perekrut.h"

#include "logcapture.h"
#include "lookup.h"
#include "messageboxcatcher.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

class TestPerekrutWindow final : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void click_data();
    void click();
};

void TestPerekrutWindow::form()
{
    Perekrut window;
    QCOMPARE(window.objectName(), u"Perekrut"_s);
    QCOMPARE(window.windowTitle(), u"Блокировка Перекрутов"_s);
    QCOMPARE(window.size(), QSize(321, 468));

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    child<QLineEdit>(window, u"lineEditPreviousDate"_s)->setFocus();
    const QStringList tabOrder = {u"lineEditPreviousData"_s, u"lineEditCurrentDate"_s,
                                  u"lineEditCurrentData"_s, u"btnOk"_s, u"lineEditPreviousDate"_s};
    for (const QString &name : tabOrder) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
    QCOMPARE(child<QPushButton>(window, u"btnOk"_s)->text(), u"\u041E\u043A"_s); // Cyrillic "Ок"
    QCOMPARE(child<QLineEdit>(window, u"lineEditPreviousDate"_s)->layoutDirection(), Qt::LeftToRight);
}

void TestPerekrutWindow::click_data()
{
    QTest::addColumn<QStringList>("fields"); // previous date, reading, current date, reading
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("debugLines");

    const QString result =
        u"Разница в днях: 30 дней. \nРазница в показаниях: 300 кВт. \nкВт: 10 кВт. \nДобавляй 13 кВт. \n"_s;
    QTest::newRow("result") << QStringList {u"01/01/2024"_s, u"1000"_s, u"31/01/2024"_s, u"1300"_s}
                            << int(QMessageBox::Information) << u"Результат"_s << result
                            << QStringList {u"30"_s, u"300"_s, u"10"_s, QDebug::toString(result)};
    QTest::newRow("bad date") << QStringList {u"01.01.2024"_s, u"1000"_s, u"31/01/2024"_s, u"1300"_s}
                              << int(QMessageBox::Warning) << u"Ошибка"_s
                              << u"Проверь даты, исправь в них ошибки, удали пробелы и т.д."_s
                              << QStringList {u"error"_s};
    QTest::newRow("same day") << QStringList {u"05/05/2024"_s, u"1000"_s, u"05/05/2024"_s, u"1300"_s}
                              << int(QMessageBox::Warning) << u"Ошибка"_s
                              << u"Даты совпадают: среднесуточный расход посчитать нельзя."_s
                              << QStringList {u"error"_s};
}

void TestPerekrutWindow::click()
{
    QFETCH(QStringList, fields);

    Perekrut window;
    window.show();
    const QStringList names = {u"lineEditPreviousDate"_s, u"lineEditPreviousData"_s, u"lineEditCurrentDate"_s,
                               u"lineEditCurrentData"_s};
    for (int i = 0; i < 4; ++i)
        child<QLineEdit>(window, names.at(i))->setText(fields.at(i));

    LogCapture log;
    MessageBoxCatcher catcher;
    catcher.arm();
    QTest::mouseClick(child<QPushButton>(window, u"btnOk"_s), Qt::LeftButton);

    QCOMPARE(catcher.boxes().size(), 1);
    const MessageBoxCatcher::Box &box = catcher.boxes().first();
    QTEST(int(box.icon), "icon");
    QTEST(box.title, "title");
    QTEST(box.text, "text");
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent.data(), &window);
    QTEST(log.texts(QtDebugMsg), "debugLines");

    // The click reads the fields; it never changes them.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(child<QLineEdit>(window, names.at(i))->text(), fields.at(i));
}

QTEST_MAIN(TestPerekrutWindow)
#include "tst_perekrutwindow.moc"
