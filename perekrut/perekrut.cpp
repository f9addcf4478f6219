#include "perekrut.h"
#include "ui_perekrut.h"

#include "rollover.h"

#include <QDebug>
#include <QMessageBox>

using namespace Qt::StringLiterals;

Perekrut::Perekrut(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::Perekrut)
{
    ui->setupUi(this);
}

Perekrut::~Perekrut()
{
    delete ui;
}

void Perekrut::on_btnOk_clicked()
{
    const RolloverResult result =
        computeRollover(ui->lineEditPreviousDate->text(), ui->lineEditPreviousData->text(),
                        ui->lineEditCurrentDate->text(), ui->lineEditCurrentData->text());

    switch (result.status) {
    case RolloverStatus::InvalidDate:
        qDebug() << "error";
        QMessageBox::warning(this, u"Ошибка"_s,
                             u"Проверь даты, исправь в них ошибки, удали пробелы и т.д."_s);
        return;
    case RolloverStatus::SameDay:
        qDebug() << "error";
        QMessageBox::warning(this, u"Ошибка"_s, u"Даты совпадают: среднесуточный расход посчитать нельзя."_s);
        return;
    case RolloverStatus::Computed:
        break;
    }

    const RolloverFigures &figures = result.figures;
    qDebug() << figures.days;
    qDebug() << figures.readingDifference;
    qDebug() << figures.dailyAverage;
    const QString text = rolloverText(figures);
    qDebug() << text;
    QMessageBox::information(this, u"Результат"_s, text);
}
