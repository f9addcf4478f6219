#include "operatorvelm.h"
#include "ui_operatorvelm.h"

#include "manifest.h"
#include "perekrut.h"
#include "sverka.h"
#include "updatecheck.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#include <utility>

using namespace Qt::StringLiterals;

OperatorVelm::OperatorVelm(QWidget *parent)
    : OperatorVelm(manifestUrl(QStringLiteral(VELM_UPDATE_HOST)),
                   defaultUpdaterProgram(QCoreApplication::applicationDirPath()), parent)
{
}

OperatorVelm::OperatorVelm(const QUrl &manifestAddress, const QString &updaterProgram, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::OperatorVelm)
    , manifestAddress(manifestAddress)
    , updaterProgram(updaterProgram)
{
    ui->setupUi(this);

    // The tool windows have no parent so that each is a window of its own;
    // they live as long as this window and keep what was typed into them.
    perekrutWindow = new Perekrut(nullptr);
    sverkaWindow = new Sverka(nullptr);

    // Last: the outcome arrives through the event loop and needs the form.
    checkForUpdates([this](bool available) { showUpdateOutcome(available); });
}

OperatorVelm::~OperatorVelm()
{
    delete ui;
    delete perekrutWindow;
    delete sverkaWindow;
}

bool OperatorVelm::checkForUpdates(std::function<void(bool)> callback)
{
    // A child of the window, so that a check still running when the window
    // goes takes its reply and any queued outcome along.
    auto *check = new UpdateCheck(manifestAddress, this);
    connect(
        check, &UpdateCheck::finished, this,
        [this, check, callback = std::move(callback)](UpdateCheck::Outcome outcome, const QString &address) {
            const bool available = outcome == UpdateCheck::Outcome::Offered;
            if (available)
                downloadUrl = address;
            check->deleteLater();
            callback(available);
        });
    check->start();
    return true;
}

int OperatorVelm::getVersion(const QByteArray &jsonData)
{
    return readManifest(jsonData).releaseNumber;
}

void OperatorVelm::showUpdateOutcome(bool available)
{
    ui->btnUpdater->setText(available ? u"Доступно обновление"_s : u"Версия актуальна"_s);
    ui->btnUpdater->setEnabled(available);
}

namespace {

// Brings the tool window back in whatever state the operator left it:
// hidden, minimized or behind another window. Maximized stays maximized.
void showOnTop(QWidget *window)
{
    window->setWindowFlags(window->windowFlags() | Qt::WindowStaysOnTopHint);
    // show() alone does nothing for a window that is minimized but counts
    // as visible.
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
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

bool OperatorVelm::mayLoseTheAnswer()
{
    if (!sverkaWindow->hasAnswer())
        return true;
    QMessageBox question(
        QMessageBox::Question, u"Обновление OperatorVelm"_s,
        u"В окне «Сверка Расчётов» есть текст ответа. Для обновления OperatorVelm закроется, "
        u"и этот текст пропадёт.\n\nЗакрыть программу и начать обновление?"_s,
        QMessageBox::Yes | QMessageBox::No, this);
    question.button(QMessageBox::Yes)->setText(u"Да"_s);
    question.button(QMessageBox::No)->setText(u"Нет"_s);
    question.setDefaultButton(QMessageBox::No);
    return question.exec() == QMessageBox::Yes;
}

void OperatorVelm::on_btnUpdater_clicked()
{
    if (!mayLoseTheAnswer())
        return;
    const QString address = downloadUrl;
    qDebug().noquote() << u"URL Download: "_s + address;
    // An empty working directory: the updater saves below the one we run in.
    if (!QProcess::startDetached(updaterProgram, updaterArguments(address), QString())) {
        qCWarning(velmUpdate).noquote() << u"%1 could not be started"_s.arg(updaterProgram);
        // Quitting now would leave the operator with neither program.
        QMessageBox::warning(this, u"Ошибка"_s, u"Не удалось запустить программу обновления."_s);
        return;
    }
    qCInfo(velmUpdate).noquote() << u"%1 started for %2"_s.arg(updaterProgram, addressForTheLog(address));
    QCoreApplication::quit();
}
