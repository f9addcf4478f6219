#include "sverka.h"

#include "logcapture.h"
#include "lookup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

using namespace Qt::StringLiterals;

namespace {

QStringList paragraphs(const QTextBrowser *pane)
{
    QStringList result;
    if (pane->document()->isEmpty())
        return result;
    for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next())
        result.append(block.text());
    return result;
}

const QString firstExample = u"01.02.2025 при контрольном обходе, были переданы показания 845. "
                             u"Расход составил 150 кВт, по тарифу 6,43 руб. Начислено 964,50 руб."_s;

} // namespace

class TestSverkaWindow final : public QObject
{
    Q_OBJECT

private slots:
    void startingForm();
    void tooltipsAndItems();
    void checkBoxesEnableTheirRows_data();
    void checkBoxesEnableTheirRows();
    void unknownCheckStateOnlyLogs_data();
    void unknownCheckStateOnlyLogs();
    void addAppendsParagraphs_data();
    void addAppendsParagraphs();
    void clearEmptiesOnlyThePane();

private:
    static void typeFirstExample(Sverka &window)
    {
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditDate"_s), u"01.02.2025"_s);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditKVT"_s), u"845"_s);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditRashod"_s), u"150"_s);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditTariff"_s), u"6,43"_s);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditNach"_s), u"964,50"_s);
    }
};

void TestSverkaWindow::startingForm()
{
    Sverka window;
    QCOMPARE(window.objectName(), u"Sverka"_s);
    QCOMPARE(window.windowTitle(), u"Сверка Расчётов"_s);
    QCOMPARE(window.size(), QSize(1110, 481));

    const QStringList enabled = {u"lineEditDate"_s,
                                 u"comboBoxWhoIs"_s,
                                 u"lineEditKVT"_s,
                                 u"lineEditRashod"_s,
                                 u"lineEditTariff"_s,
                                 u"lineEditNach"_s,
                                 u"btnOk"_s,
                                 u"btnClear"_s,
                                 u"checkBoxPereplata"_s,
                                 u"checkBoxDiapazon"_s,
                                 u"textBrowserAnswer"_s};
    const QStringList disabled = {u"comboBoxPereplata"_s, u"lineEditNachWithPereplata"_s,
                                  u"comboBoxDiapazon"_s, u"lineEditKVTWithDiapazon"_s,
                                  u"lineEditNachWithDiapazon"_s};
    for (const QString &name : enabled)
        QVERIFY2(child<QWidget>(window, name)->isEnabled(), qPrintable(name));
    for (const QString &name : disabled)
        QVERIFY2(!child<QWidget>(window, name)->isEnabled(), qPrintable(name));

    for (QLineEdit *edit : window.findChildren<QLineEdit *>()) {
        QVERIFY(edit->text().isEmpty());
        QVERIFY(edit->placeholderText().isEmpty());
        QVERIFY(edit->inputMask().isEmpty());
        QVERIFY(!edit->validator());
    }
    QCOMPARE(child<QComboBox>(window, u"comboBoxWhoIs"_s)->currentText(), u"КО"_s);
    QCOMPARE(child<QComboBox>(window, u"comboBoxPereplata"_s)->currentText(), u"С учетом переплаты"_s);
    QCOMPARE(child<QComboBox>(window, u"comboBoxDiapazon"_s)->currentText(), u"1"_s);
    QVERIFY(!child<QCheckBox>(window, u"checkBoxPereplata"_s)->isChecked());
    QVERIFY(!child<QCheckBox>(window, u"checkBoxPereplata"_s)->isTristate());
    QVERIFY(child<QTextBrowser>(window, u"textBrowserAnswer"_s)->document()->isEmpty());

    // Tab order follows the rows: the period row, the buttons, then the two
    // option rows, skipping what is disabled.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    child<QLineEdit>(window, u"lineEditDate"_s)->setFocus();
    child<QCheckBox>(window, u"checkBoxDiapazon"_s)->setChecked(true);
    const QStringList tabOrder = {u"comboBoxWhoIs"_s,
                                  u"lineEditKVT"_s,
                                  u"lineEditRashod"_s,
                                  u"lineEditTariff"_s,
                                  u"lineEditNach"_s,
                                  u"btnOk"_s,
                                  u"btnClear"_s,
                                  u"checkBoxPereplata"_s,
                                  u"checkBoxDiapazon"_s,
                                  u"comboBoxDiapazon"_s,
                                  u"lineEditKVTWithDiapazon"_s,
                                  u"lineEditNachWithDiapazon"_s};
    for (const QString &name : tabOrder) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
}

void TestSverkaWindow::tooltipsAndItems()
{
    Sverka window;
    const QList<QPair<QString, QString>> tooltips = {
        {u"lineEditDate"_s, u"Дата"_s},
        {u"lineEditKVT"_s, u"Показания"_s},
        {u"lineEditRashod"_s, u"Расход"_s},
        {u"lineEditTariff"_s, u"Тариф"_s},
        {u"lineEditNach"_s, u"Начислено"_s},
        {u"lineEditNachWithPereplata"_s, u"Начислено с переплатой/Какая сумма переплаты"_s},
        {u"lineEditKVTWithDiapazon"_s, u"Тариф по диапазону"_s},
        {u"lineEditNachWithDiapazon"_s, u"Начислено по диапазону"_s},
    };
    for (const auto &[name, tooltip] : tooltips)
        QCOMPARE(child<QWidget>(window, name)->toolTip(), tooltip);

    QCOMPARE(child<QPushButton>(window, u"btnOk"_s)->text(), u"Добавить"_s);
    QCOMPARE(child<QPushButton>(window, u"btnClear"_s)->text(), u"Очистка"_s);
    QCOMPARE(child<QCheckBox>(window, u"checkBoxPereplata"_s)->text(), u"Переплата"_s);
    QCOMPARE(child<QCheckBox>(window, u"checkBoxDiapazon"_s)->text(), u"Диапазоны"_s);

    const auto items = [&](const QString &name) {
        const auto *combo = child<QComboBox>(window, name);
        QStringList texts;
        for (int i = 0; i < combo->count(); ++i)
            texts.append(combo->itemText(i));
        return texts;
    };
    QCOMPARE(items(u"comboBoxWhoIs"_s),
             (QStringList {u"КО"_s, u"КОису"_s, u"КОп"_s, u"ЗПгис"_s, u"КОС/КСП РЭС/КП РЭС/ОЭСХ РЭС"_s,
                           u"КОУ"_s, u"ИНСТ"_s, u"ДЕИНСТ"_s, u"КОРД"_s, u"ЗП/ЗПК/ЗПИ/ЗПИбр/ЗПТ"_s, u"СС"_s,
                           u"КА"_s, u"СТ"_s, u"РН"_s, u"НОРМ"_s, u"Нач.н"_s}));
    QCOMPARE(items(u"comboBoxPereplata"_s),
             (QStringList {u"С учетом переплаты"_s, u"Образовалась переплата"_s}));
    QCOMPARE(items(u"comboBoxDiapazon"_s), (QStringList {u"1"_s, u"2"_s, u"3"_s}));
    for (QComboBox *combo : window.findChildren<QComboBox *>())
        QVERIFY(!combo->isEditable());
}

void TestSverkaWindow::checkBoxesEnableTheirRows_data()
{
    QTest::addColumn<QString>("checkBox");
    QTest::addColumn<QStringList>("row");
    QTest::addColumn<QStringList>("others");

    const QStringList overpayment = {u"comboBoxPereplata"_s, u"lineEditNachWithPereplata"_s};
    const QStringList range = {u"comboBoxDiapazon"_s, u"lineEditKVTWithDiapazon"_s,
                               u"lineEditNachWithDiapazon"_s};
    QTest::newRow("Переплата") << u"checkBoxPereplata"_s << overpayment << range;
    QTest::newRow("Диапазоны") << u"checkBoxDiapazon"_s << range << overpayment;
}

void TestSverkaWindow::checkBoxesEnableTheirRows()
{
    QFETCH(QString, checkBox);
    QFETCH(QStringList, row);
    QFETCH(QStringList, others);

    Sverka window;
    window.show();
    auto *box = child<QCheckBox>(window, checkBox);

    QTest::mouseClick(box, Qt::LeftButton);
    for (const QString &name : row)
        QVERIFY2(child<QWidget>(window, name)->isEnabled(), qPrintable(name));
    for (const QString &name : others)
        QVERIFY2(!child<QWidget>(window, name)->isEnabled(), qPrintable(name));

    // What was typed or chosen survives unticking.
    for (const QString &name : row) {
        if (auto *edit = window.findChild<QLineEdit *>(name))
            edit->setText(u"kept "_s + name);
        if (auto *combo = window.findChild<QComboBox *>(name))
            combo->setCurrentIndex(1);
    }
    QTest::mouseClick(box, Qt::LeftButton);
    for (const QString &name : row) {
        QVERIFY2(!child<QWidget>(window, name)->isEnabled(), qPrintable(name));
        if (auto *edit = window.findChild<QLineEdit *>(name))
            QCOMPARE(edit->text(), u"kept "_s + name);
        if (auto *combo = window.findChild<QComboBox *>(name))
            QCOMPARE(combo->currentIndex(), 1);
    }
}

void TestSverkaWindow::unknownCheckStateOnlyLogs_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<QStringList>("row");

    QTest::newRow("Переплата") << QByteArray("on_checkBoxPereplata_stateChanged")
                               << u"Unknown state checkbox Pereplata"_s
                               << QStringList {u"comboBoxPereplata"_s, u"lineEditNachWithPereplata"_s};
    QTest::newRow("Диапазоны") << QByteArray("on_checkBoxDiapazon_stateChanged")
                               << u"Unknown state checkbox Diapazone"_s
                               << QStringList {u"comboBoxDiapazon"_s, u"lineEditKVTWithDiapazon"_s,
                                               u"lineEditNachWithDiapazon"_s};
}

void TestSverkaWindow::unknownCheckStateOnlyLogs()
{
    QFETCH(QByteArray, slot);
    QFETCH(QStringList, row);

    Sverka window;
    LogCapture log;
    QVERIFY(QMetaObject::invokeMethod(&window, slot.constData(), Q_ARG(int, Qt::PartiallyChecked)));
    QTEST(log.texts(QtDebugMsg).value(0), "debugLine");
    QCOMPARE(log.lines().size(), 1);
    for (const QString &name : row)
        QVERIFY(!child<QWidget>(window, name)->isEnabled());
}

void TestSverkaWindow::addAppendsParagraphs_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("overpayment");
    QTest::addColumn<bool>("fillRange");
    QTest::addColumn<int>("presses");
    QTest::addColumn<QString>("expected");

    QTest::newRow("worked example") << 0 << false << false << 1 << firstExample;
    QTest::newRow("with overpayment")
        << 0 << true << false << 1 << firstExample + u"Образовалась переплата, 200 руб."_s;
    QTest::newRow("range row ignored") << 0 << false << true << 1 << firstExample;
    QTest::newRow("two presses") << 0 << false << false << 2 << firstExample;
    const QString normSentence = u"01.02.2025 было начислено по нормативу 845. Расход составил 150 кВт, "
                                 u"по тарифу 6,43 руб. Начислено 964,50 руб."_s;
    QTest::newRow("НОРМ") << 14 << false << false << 1 << normSentence;
    QTest::newRow("Нач.н shares the phrase") << 15 << false << false << 1 << normSentence;
    const QString handedOver = u"01.02.2025 были переданы показания 845. Расход составил 150 кВт, "
                               u"по тарифу 6,43 руб. Начислено 964,50 руб."_s;
    QTest::newRow("ЗПгис") << 3 << false << false << 1 << handedOver;
    QTest::newRow("ЗП/ЗПК shares the phrase") << 9 << false << false << 1 << handedOver;
}

void TestSverkaWindow::addAppendsParagraphs()
{
    QFETCH(int, source);
    QFETCH(bool, overpayment);
    QFETCH(bool, fillRange);
    QFETCH(int, presses);
    QFETCH(QString, expected);

    Sverka window;
    window.show();
    typeFirstExample(window);
    child<QComboBox>(window, u"comboBoxWhoIs"_s)->setCurrentIndex(source);
    // The overpayment row holds values either way; only the tick decides.
    child<QCheckBox>(window, u"checkBoxPereplata"_s)->setChecked(true);
    child<QComboBox>(window, u"comboBoxPereplata"_s)->setCurrentIndex(1);
    QTest::keyClicks(child<QLineEdit>(window, u"lineEditNachWithPereplata"_s), u"200"_s);
    child<QCheckBox>(window, u"checkBoxPereplata"_s)->setChecked(overpayment);
    if (fillRange) {
        child<QCheckBox>(window, u"checkBoxDiapazon"_s)->setChecked(true);
        child<QComboBox>(window, u"comboBoxDiapazon"_s)->setCurrentIndex(2);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditKVTWithDiapazon"_s), u"7,01"_s);
        QTest::keyClicks(child<QLineEdit>(window, u"lineEditNachWithDiapazon"_s), u"99"_s);
    }

    for (int i = 0; i < presses; ++i)
        QTest::mouseClick(child<QPushButton>(window, u"btnOk"_s), Qt::LeftButton);

    const auto *pane = child<QTextBrowser>(window, u"textBrowserAnswer"_s);
    QCOMPARE(paragraphs(pane), QStringList(QList<QString>(presses, expected)));
    QCOMPARE(pane->toPlainText(), QStringList(QList<QString>(presses, expected)).join(u'\n'));
}

void TestSverkaWindow::clearEmptiesOnlyThePane()
{
    Sverka window;
    window.show();
    typeFirstExample(window);
    child<QCheckBox>(window, u"checkBoxPereplata"_s)->setChecked(true);
    child<QComboBox>(window, u"comboBoxWhoIs"_s)->setCurrentIndex(4);
    auto *pane = child<QTextBrowser>(window, u"textBrowserAnswer"_s);

    // Markup typed into a field shows as typed, never as formatting.
    auto *date = child<QLineEdit>(window, u"lineEditDate"_s);
    date->setText(u"<b>x</b> <5 a &amp; b"_s);
    for (int i = 0; i < 3; ++i)
        QTest::mouseClick(child<QPushButton>(window, u"btnOk"_s), Qt::LeftButton);
    QCOMPARE(paragraphs(pane).size(), 3);
    QVERIFY(paragraphs(pane).first().startsWith(u"<b>x</b> <5 a &amp; b при контрольном обходе"_s));
    QVERIFY(!pane->document()->begin().charFormat().font().bold());

    QTest::mouseClick(child<QPushButton>(window, u"btnClear"_s), Qt::LeftButton);
    QVERIFY(pane->document()->isEmpty());
    QCOMPARE(date->text(), u"<b>x</b> <5 a &amp; b"_s);
    QCOMPARE(child<QLineEdit>(window, u"lineEditNach"_s)->text(), u"964,50"_s);
    QCOMPARE(child<QComboBox>(window, u"comboBoxWhoIs"_s)->currentIndex(), 4);
    QVERIFY(child<QCheckBox>(window, u"checkBoxPereplata"_s)->isChecked());

    // After clearing, the next sentence starts the pane again.
    QTest::mouseClick(child<QPushButton>(window, u"btnOk"_s), Qt::LeftButton);
    QCOMPARE(paragraphs(pane).size(), 1);
}

QTEST_MAIN(TestSverkaWindow)
#include "tst_sverkawindow.moc"
