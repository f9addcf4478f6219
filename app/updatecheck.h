#pragma once

#include "updatelog.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>

// The check made once at start: one GET of the server's manifest, bounded
// in size and in silence, compared with version.json in the working
// directory. Reports one outcome and logs it, with its reason, in one line.
class UpdateCheck final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateCheck)

public:
    enum class Outcome {
        Offered, // a newer release, at the address given
        Current, // nothing newer, or a newer one that may not be offered
        Failed,  // the server or version.json could not be read
    };
    Q_ENUM(Outcome)

    // How long the check waits while the update host sends nothing.
    static constexpr std::chrono::seconds defaultSilenceLimit {30};

    explicit UpdateCheck(const QUrl &manifestAddress, QObject *parent = nullptr);

    void setSilenceLimit(std::chrono::milliseconds limit) { silenceLimit = limit; }
    // Sends the request; the outcome follows from a later pass of the event
    // loop, never from inside this call or the reply's own signal.
    void start();

signals:
    // address: the release's, when offered; empty otherwise.
    void finished(UpdateCheck::Outcome outcome, const QString &address);

private:
    void report(Outcome outcome, const QString &address = QString());

    const QUrl manifestAddress;
    std::chrono::milliseconds silenceLimit = defaultSilenceLimit;
    // version.json as read at the start; none when it could not be read.
    std::optional<QByteArray> localText;
    // What the TLS library found wrong with the server's certificate.
    QStringList certificateProblems;
};
