#pragma once

#include <QMainWindow>
#include <QString>
#include <QUrl>

#include <functional>

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
    // Checks the update host built into the program and starts the Updater
    // that ships beside it.
    explicit OperatorVelm(QWidget *parent = nullptr);
    // The same window checking manifestAddress and starting updaterProgram.
    OperatorVelm(const QUrl &manifestAddress, const QString &updaterProgram, QWidget *parent = nullptr);
    ~OperatorVelm() override;

private slots:
    bool checkForUpdates(std::function<void(bool)> callback);
    int getVersion(const QByteArray &jsonData);
    void on_btnBlockPerekrut_clicked();
    void on_btnSverka_clicked();
    void on_btnUpdater_clicked();

private:
    void showUpdateOutcome(bool available);
    // Whether the operator agrees to close the program although the
    // reconciliation's answer pane holds text, which closing loses.
    bool mayLoseTheAnswer();

    Ui::OperatorVelm *ui;
    Perekrut *perekrutWindow = nullptr;
    Sverka *sverkaWindow = nullptr;
    QString downloadUrl;
    const QUrl manifestAddress;
    const QString updaterProgram;
};
