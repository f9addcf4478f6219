#pragma once

#include <QMainWindow>
#include <QString>
#include <QUrl>

#include <chrono>
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
    // How long the update check waits while the update host sends nothing.
    static constexpr std::chrono::seconds updateSilenceLimit {30};

    // Checks the update host built into the program and starts the Updater
    // that ships beside it.
    explicit OperatorVelm(QWidget *parent = nullptr);
    // The same window checking manifestAddress and starting updaterProgram;
    // tests shorten the silence limit so that a silent host ends in seconds.
    OperatorVelm(const QUrl &manifestAddress, const QString &updaterProgram, QWidget *parent = nullptr,
                 std::chrono::milliseconds silenceLimit = updateSilenceLimit);
    ~OperatorVelm() override;

private slots:
    bool checkForUpdates(std::function<void(bool)> callback);
    int getVersion(const QByteArray &jsonData);
    void on_btnBlockPerekrut_clicked();
    void on_btnSverka_clicked();
    void on_btnUpdater_clicked();

private:
    void showUpdateOutcome(bool available);

    Ui::OperatorVelm *ui;
    Perekrut *perekrutWindow = nullptr;
    Sverka *sverkaWindow = nullptr;
    QString downloadUrl;
    const QUrl manifestAddress;
    const QString updaterProgram;
    const std::chrono::milliseconds silenceLimit;
};
