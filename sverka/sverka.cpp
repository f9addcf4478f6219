#include "sverka.h"
#include "ui_sverka.h"

#include "statement.h"

#include <QDebug>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>

Sverka::Sverka(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::Sverka)
{
    ui->setupUi(this);
    whoIsPhrases = readingSourcePhrases();
}

Sverka::~Sverka()
{
    delete ui;
}

void Sverka::on_checkBoxDiapazon_stateChanged(int arg1)
{
    if (arg1 != Qt::Checked && arg1 != Qt::Unchecked) {
        qDebug() << "Unknown state checkbox Diapazone";
        return;
    }
    const bool enabled = arg1 == Qt::Checked;
    ui->comboBoxDiapazon->setEnabled(enabled);
    ui->lineEditKVTWithDiapazon->setEnabled(enabled);
    ui->lineEditNachWithDiapazon->setEnabled(enabled);
}

void Sverka::on_btnOk_clicked()
{
    PeriodEntry entry;
    entry.overpayment = ui->checkBoxPereplata->isChecked();
    entry.sourcePhrase = whoIsPhrases.value(ui->comboBoxWhoIs->currentIndex());
    entry.date = ui->lineEditDate->text();
    entry.reading = ui->lineEditKVT->text();
    entry.consumption = ui->lineEditRashod->text();
    entry.tariff = ui->lineEditTariff->text();
    entry.charged = ui->lineEditNach->text();
    if (entry.overpayment) {
        entry.overpaymentKind = ui->comboBoxPereplata->currentText();
        entry.overpaymentAmount = ui->lineEditNachWithPereplata->text();
    }

    appendParagraph(composeStatement(entry));
}

void Sverka::appendParagraph(const QString &text)
{
    // Inserted as plain text, never as markup, so the pane shows exactly what
    // was typed ("<5", "&amp;", "<b>" included) as one new paragraph.
    QTextBrowser *pane = ui->textBrowserAnswer;
    QScrollBar *scrollBar = pane->verticalScrollBar();
    const bool wasAtBottom = scrollBar->value() >= scrollBar->maximum();

    QTextCursor cursor(pane->document());
    cursor.movePosition(QTextCursor::End);
    if (!pane->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);

    // Like append(): keep following the newest sentence unless scrolled away.
    if (wasAtBottom)
        scrollBar->setValue(scrollBar->maximum());
}

bool Sverka::hasAnswer() const
{
    return !ui->textBrowserAnswer->document()->isEmpty();
}

void Sverka::on_btnClear_clicked()
{
    ui->textBrowserAnswer->clear();
}

void Sverka::on_checkBoxPereplata_stateChanged(int arg1)
{
    if (arg1 != Qt::Checked && arg1 != Qt::Unchecked) {
        qDebug() << "Unknown state checkbox Pereplata";
        return;
    }
    const bool enabled = arg1 == Qt::Checked;
    ui->comboBoxPereplata->setEnabled(enabled);
    ui->lineEditNachWithPereplata->setEnabled(enabled);
}
