// Prints the microseconds from the creation of the application object to the
// main window being exposed, for OperatorVelm ("velm") or for a bare
// QMainWindow with four push buttons ("bare"). The bare window sends one HTTPS
// GET as it is created, as OperatorVelm's update check does, so that both pay
// for loading the TLS library. One measurement per process, so that every run
// pays the toolkit's first-use costs alike.
#include "operatorvelm.h"
#include "updatelog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

std::unique_ptr<QMainWindow> bareWindow()
{
    auto window = std::make_unique<QMainWindow>();
    auto *central = new QWidget(window.get());
    auto *layout = new QVBoxLayout(central);
    for (int i = 0; i < 4; ++i)
        layout->addWidget(new QPushButton(QStringLiteral("Button %1").arg(i + 1), central));
    window->setCentralWidget(central);
    window->resize(269, 240);
    // The same kind of host as a build without an update server asks: it
    // never resolves, and the reply goes with the window.
    auto *manager = new QNetworkAccessManager(window.get());
    manager->get(QNetworkRequest(
        QUrl(QStringLiteral("https://updates.velm.invalid/files/Velm/Version.json"), QUrl::TolerantMode)));
    return window;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2 || (std::strcmp(argv[1], "velm") != 0 && std::strcmp(argv[1], "bare") != 0)) {
        std::fprintf(stderr, "usage: %s velm|bare\n", argv[0]);
        return 2;
    }
    const bool velm = std::strcmp(argv[1], "velm") == 0;

    QElapsedTimer timer;
    timer.start();
    QApplication application(argc, argv);
    std::unique_ptr<QMainWindow> window;
    // As the program starts: its update log too, which the check writes at once.
    std::optional<UpdateLog> log;
    if (velm) {
        log.emplace(QStringLiteral("OperatorVelm"));
        window = std::make_unique<OperatorVelm>();
    } else {
        window = bareWindow();
    }
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get(), 10000)) {
        std::fprintf(stderr, "window not exposed\n");
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(timer.nsecsElapsed() / 1000));
    return 0;
}
