// The release number of a manifest: any bytes read without a crash, and a
// valid JSON manifest always gives its own "Version" and "URL", whatever its
// strings hold (colons, quotes, escapes, any Unicode), and is offered only
// with an address the updater can download from.
#include "fuzzinput.h"
#include "manifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <cstring>
#include <limits>

namespace {

void quietLogger(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QtMessageHandler previous = qInstallMessageHandler(quietLogger);
    Q_UNUSED(previous);

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    // Arbitrary text: whatever it yields, a strict JSON object must give
    // exactly what the JSON library reads from it.
    const Manifest any = readManifest(bytes);
    QJsonParseError error;
    const QJsonDocument strict = QJsonDocument::fromJson(bytes, &error);
    if (error.error == QJsonParseError::NoError) {
        if (strict.isObject())
            FUZZ_ASSERT(any.releaseNumber == strict.object().value(QStringLiteral("Version")).toInt(0));
        else
            FUZZ_ASSERT(any.releaseNumber == 1);
    }

    // A well-formed manifest built from the input: its own figures come back.
    if (size >= 4) {
        qint32 version = 0;
        std::memcpy(&version, data, sizeof version);
        const QStringList fields = fuzzFields(data + 4, size - 4, 2);
        QJsonObject object;
        object.insert(QStringLiteral("Version"), version);
        object.insert(QStringLiteral("URL"), fields[0]);
        if (!fields[1].isEmpty())
            object.insert(fields[1], fields[1]);
        const QJsonDocument::JsonFormat format =
            (data[0] & 1) ? QJsonDocument::Compact : QJsonDocument::Indented;
        const QByteArray manifestText = QJsonDocument(object).toJson(format);
        const Manifest manifest = readManifest(manifestText);
        const QString key = fields[1];
        if (key != QStringLiteral("Version")) {
            FUZZ_ASSERT(manifest.releaseNumber == version);
            if (key != QStringLiteral("URL")) {
                QString expected = fields[0];
                // Raw line breaks and tabs in an address are dropped on reading.
                expected.remove(QLatin1Char('\r')).remove(QLatin1Char('\n')).remove(QLatin1Char('\t'));
                FUZZ_ASSERT(manifest.downloadUrl == expected);
            }
        }
        if (version > std::numeric_limits<qint32>::min() && key.isEmpty()) {
            // A newer server release is offered exactly when the updater can
            // download from its address, and with that address as written.
            QJsonObject local;
            local.insert(QStringLiteral("Version"), version - 1);
            const UpdateOffer offer = compareManifests(manifestText, QJsonDocument(local).toJson());
            const QUrl address(manifest.downloadUrl, QUrl::TolerantMode);
            const bool downloadable =
                address.isValid()
                && (address.scheme() == QStringLiteral("http") || address.scheme() == QStringLiteral("https"))
                && !address.host().isEmpty();
            FUZZ_ASSERT(offer.available == downloadable);
            FUZZ_ASSERT(offer.downloadUrl == (offer.available ? manifest.downloadUrl : QString()));
        }
    }
    return 0;
}
