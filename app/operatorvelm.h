#pragma once

#include <QMainWindow>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class OperatorVelm;
}
QT_END_NAMESPACE

class Perekrut;
class Sverka;

// The launcher: opens the two tool windows and offers the update.
class OperatorVelm final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OperatorVelm)

public:
    explicit OperatorVelm(QWidget *parent = nullptr);
    ~OperatorVelm() override;

private slots:
    void on_btnBlockPerekrut_clicked();
    void on_btnSverka_clicked();

private:
    Ui::OperatorVelm *ui;
    Perekrut *perekrutWindow = nullptr;
    Sverka *sverkaWindow = nullptr;
    QString downloadUrl;
};
