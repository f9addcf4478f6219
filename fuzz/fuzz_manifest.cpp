// The release number of a manifest: any bytes read without a crash, and a
// valid JSON manifest always gives its own "Version" and "URL", whatever its
// strings hold (colons, quotes, escapes, any Unicode), and is offered only
// with an address the updater can download from. Under an update key, a
// manifest signed with it is offered exactly when its address also pins the
// file by digest, a signature with one bit flipped never is, and no text is
// offered that would not be offered without a key. With two keys built in,
// a list of signatures that holds the good one is offered just the same,
// and one that holds only the flipped one is not.
#include "fuzzinput.h"
#include "manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <gcrypt.h>

#include <cstring>
#include <limits>

namespace {

void quietLogger(QtMsgType, const QMessageLogContext &, const QString &)
{
}

// The throwaway key pair "a" of tests/app/tst_manifest.cpp.
const QByteArray testPublicKey = QByteArray::fromBase64("E1Z/DISOwntsioyztSkphJzvqeKt1fnBrnEEbz2vEIw=");
const QByteArray testSeed = QByteArray::fromBase64("hiD3MqDlu/pSHkMpYRSQek5P/ncLQgHs+jgKFV5agmY=");
// Key pair "b" of the same test, built in beside "a".
const QByteArray otherPublicKey = QByteArray::fromBase64("tBKSxGNpjMDpyliICx2XKuiZCPlH2K1orD1moK5I/9I=");

// The Ed25519 signature of message under the test key, by libgcrypt.
QByteArray testSignature(const QByteArray &message)
{
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
        FUZZ_ASSERT(gcry_check_version(GCRYPT_VERSION) != nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    gcry_sexp_t key = nullptr;
    gcry_sexp_t data = nullptr;
    gcry_sexp_t signature = nullptr;
    FUZZ_ASSERT(gcry_sexp_build(&key, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))",
                                32, testPublicKey.constData(), 32, testSeed.constData())
                == 0);
    FUZZ_ASSERT(gcry_sexp_build(&data, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                                int(message.size()), message.constData())
                == 0);
    FUZZ_ASSERT(gcry_pk_sign(&signature, data, key) == 0);
    QByteArray bytes;
    for (const char *name : {"r", "s"}) {
        gcry_sexp_t part = gcry_sexp_find_token(signature, name, 0);
        size_t length = 0;
        const char *value = part ? gcry_sexp_nth_data(part, 1, &length) : nullptr;
        FUZZ_ASSERT(value != nullptr && length == 32);
        bytes.append(value, qsizetype(length));
        gcry_sexp_release(part);
    }
    gcry_sexp_release(signature);
    gcry_sexp_release(data);
    gcry_sexp_release(key);
    return bytes;
}

// "sha256=" and 64 hex digits, spelled out rather than by pattern.
bool pinsDigest(const QString &address)
{
    const QString fragment = QUrl(address, QUrl::TolerantMode).fragment(QUrl::FullyDecoded);
    if (fragment.size() != 7 + 64 || !fragment.startsWith(QStringLiteral("sha256=")))
        return false;
    for (const QChar digit : fragment.mid(7)) {
        if (!((digit >= u'0' && digit <= u'9') || (digit >= u'a' && digit <= u'f')
              || (digit >= u'A' && digit <= u'F')))
            return false;
    }
    return true;
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
    // A key only ever takes offers away.
    const QByteArray zero = R"({"Version": 0})";
    const UpdateOffer unkeyed = compareManifests(bytes, zero, {});
    const UpdateOffer keyed = compareManifests(bytes, zero, {testPublicKey});
    FUZZ_ASSERT(!keyed.available || (unkeyed.available && keyed.downloadUrl == unkeyed.downloadUrl));
    const UpdateOffer twoKeys = compareManifests(bytes, zero, {otherPublicKey, testPublicKey});
    FUZZ_ASSERT(!twoKeys.available || (unkeyed.available && twoKeys.downloadUrl == unkeyed.downloadUrl));

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
        QString expected = fields[0];
        // Raw line breaks and tabs in an address are dropped on reading.
        expected.remove(QLatin1Char('\r')).remove(QLatin1Char('\n')).remove(QLatin1Char('\t'));
        if (key != QStringLiteral("Version")) {
            FUZZ_ASSERT(manifest.releaseNumber == version);
            if (key != QStringLiteral("URL"))
                FUZZ_ASSERT(manifest.downloadUrl == expected);
        }
        if (version > std::numeric_limits<qint32>::min() && key.isEmpty()) {
            // A newer server release is offered exactly when the updater can
            // download from its address, and with that address as written.
            QJsonObject local;
            local.insert(QStringLiteral("Version"), version - 1);
            const QByteArray localText = QJsonDocument(local).toJson();
            const UpdateOffer offer = compareManifests(manifestText, localText, {});
            const QUrl address(manifest.downloadUrl, QUrl::TolerantMode);
            const bool downloadable =
                address.isValid()
                && (address.scheme() == QStringLiteral("http") || address.scheme() == QStringLiteral("https"))
                && !address.host().isEmpty();
            FUZZ_ASSERT(offer.available == downloadable);
            FUZZ_ASSERT(offer.downloadUrl == (offer.available ? manifest.downloadUrl : QString()));

            // Signed with the test key over "<Version>\n<URL>".
            const QByteArray signature =
                testSignature(QByteArray::number(version) + '\n' + expected.toUtf8());
            object.insert(QStringLiteral("Signature"), QString::fromLatin1(signature.toBase64()));
            const UpdateOffer signedOffer =
                compareManifests(QJsonDocument(object).toJson(format), localText, {testPublicKey});
            FUZZ_ASSERT(signedOffer.available == (downloadable && pinsDigest(expected)));
            FUZZ_ASSERT(signedOffer.downloadUrl == (signedOffer.available ? expected : QString()));

            QByteArray flipped = signature;
            const int bit = data[1] % (64 * 8);
            flipped[bit / 8] = char(flipped[bit / 8] ^ (1 << (bit % 8)));
            object.insert(QStringLiteral("Signature"), QString::fromLatin1(flipped.toBase64()));
            FUZZ_ASSERT(!compareManifests(QJsonDocument(object).toJson(format), localText, {testPublicKey})
                             .available);

            // The same two signatures as a list, under two built-in keys.
            const QList<QByteArray> keys {otherPublicKey, testPublicKey};
            const QString good = QString::fromLatin1(signature.toBase64());
            const QString bad = QString::fromLatin1(flipped.toBase64());
            object.insert(QStringLiteral("Signature"), QJsonArray {bad, good});
            const UpdateOffer listOffer =
                compareManifests(QJsonDocument(object).toJson(format), localText, keys);
            FUZZ_ASSERT(listOffer.available == signedOffer.available);
            FUZZ_ASSERT(listOffer.downloadUrl == signedOffer.downloadUrl);
            object.insert(QStringLiteral("Signature"), QJsonArray {bad});
            FUZZ_ASSERT(!compareManifests(QJsonDocument(object).toJson(format), localText, keys).available);
        }
    }
    return 0;
}
