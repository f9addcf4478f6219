#include "operatorvelm.h"
#include "ui_operatorvelm.h"

#include "perekrut.h"
#include "sverka.h"

OperatorVelm::OperatorVelm(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::OperatorVelm)
{
    ui->setupUi(this);

    // The tool windows have no parent so that each is a window of its own;
    // they live as long as this window and keep what was typed into them.
    perekrutWindow = new Perekrut(nullptr);
    sverkaWindow = new Sverka(nullptr);
}

OperatorVelm::~OperatorVelm()
{
    delete ui;
    delete perekrutWindow;
    delete sverkaWindow;
}

namespace {

void showOnTop(QWidget *window)
{
    window->setWindowFlags(window->windowFlags() | Qt::WindowStaysOnTopHint);
    window->show();
}

} // namespace

void OperatorVelm::on_btnBlockPerekrut_clicked()
{
    showOnTop(perekrutWindow);
}

void OperatorVelm::on_btnSverka_clicked()
{
    showOnTop(sverkaWindow);
}
