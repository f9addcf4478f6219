#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class Sverka;
}
QT_END_NAMESPACE

// Billing reconciliation: one explanatory sentence per billing period,
// gathered in the answer pane.
class Sverka final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sverka)

public:
    explicit Sverka(QWidget *parent = nullptr);
    ~Sverka() override;

    // Whether the answer pane holds text, shown or hidden.
    bool hasAnswer() const;

private slots:
    void on_checkBoxDiapazon_stateChanged(int arg1);
    void on_btnOk_clicked();
    void on_btnClear_clicked();
    void on_checkBoxPereplata_stateChanged(int arg1);

private:
    void appendParagraph(const QString &text);

    Ui::Sverka *ui;
    QMap<int, QString> whoIsPhrases;
};
