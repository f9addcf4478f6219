#pragma once

#include <QMainWindow>

QT_BEGIN_NAMESPACE
namespace Ui {
class Perekrut;
}
QT_END_NAMESPACE

// Roll-over check: days, reading difference, daily average and the quantity
// to add between two dated meter readings.
class Perekrut final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Perekrut)

public:
    explicit Perekrut(QWidget *parent = nullptr);
    ~Perekrut() override;

private slots:
    void on_btnOk_clicked();

private:
    Ui::Perekrut *ui;
};
