#include "manifest.h"

#include "updatesignature.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

Manifest fromDocument(const QJsonDocument &document)
{
    Manifest manifest;
    if (!document.isObject()) {
        manifest.releaseNumber = 1;
        manifest.problem = u"is not a JSON object"_s;
        return manifest;
    }
    const QJsonObject object = document.object();
    // toInt gives the default for anything but an integral number in range.
    manifest.releaseNumber = object.value(u"Version"_s).toInt(0);
    manifest.downloadUrl = object.value(u"URL"_s).toString();
    // Qt's parser lets raw line breaks and tabs through inside strings; in an
    // address they are editing slips, and the repair drops them as well.
    manifest.downloadUrl.remove(u'\r');
    manifest.downloadUrl.remove(u'\n');
    manifest.downloadUrl.remove(u'\t');
    const QJsonValue signature = object.value(u"Signature"_s);
    if (signature.isArray()) {
        manifest.signatureList = true;
        const QJsonArray entries = signature.toArray();
        for (const auto &entry : entries)
            manifest.signatures.append(entry.toString());
    } else if (const QString text = signature.toString(); !text.isEmpty()) {
        manifest.signatures.append(text);
    }
    return manifest;
}

// Whether the updater could download from address: it reads the address
// just so, and anything else leaves it with nothing to fetch.
bool isDownloadAddress(const QString &address)
{
    const QUrl url(address, QUrl::TolerantMode);
    const QString scheme = url.scheme();
    return url.isValid() && !url.isRelative() && (scheme == u"http"_s || scheme == u"https"_s)
        && !url.host().isEmpty();
}

// The 64 bytes of an Ed25519 signature written in base64; empty when text
// is anything else.
QByteArray decodedSignature(const QString &text)
{
    const QByteArray::FromBase64Result signature =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return signature && signature.decoded.size() == 64 ? signature.decoded : QByteArray();
}

// Why a newer release may not be offered under updateKeys, in the words of
// a warning; empty when it may. One signature that verifies under one key
// is enough.
QString unsignedReason(const Manifest &remote, const QList<QByteArray> &updateKeys)
{
    if (remote.signatures.isEmpty())
        return u"its Version.json carries no signature (\"Signature\")"_s;
    const QByteArray message = signedBytes(remote);
    bool anyWellFormed = false;
    bool matched = false;
    for (const QString &text : remote.signatures) {
        const QByteArray signature = decodedSignature(text);
        if (signature.isEmpty())
            continue;
        anyWellFormed = true;
        matched = std::any_of(updateKeys.cbegin(), updateKeys.cend(), [&](const QByteArray &key) {
            return isEd25519Signature(key, message, signature);
        });
        if (matched)
            break;
    }
    if (!anyWellFormed) {
        return remote.signatureList
                 ? u"none of the signatures in its \"Signature\" list is base64 of 64 bytes"_s
                 : u"its signature (\"Signature\") is not base64 of 64 bytes"_s;
    }
    if (!matched) {
        return remote.signatureList ? u"none of the signatures in its \"Signature\" list matches its "
                                      u"\"Version\" and \"URL\" under an update key"_s
                                    : u"its signature (\"Signature\") does not match its \"Version\" and "
                                      u"\"URL\" under the update key"_s;
    }
    if (!carriesSha256Digest(remote.downloadUrl))
        return u"its address (\"URL\") carries no SHA-256 digest (#sha256= and 64 hex digits)"_s;
    return {};
}

} // namespace

QByteArray signedBytes(const Manifest &manifest)
{
    return QByteArray::number(manifest.releaseNumber) + '\n' + manifest.downloadUrl.toUtf8();
}

bool carriesSha256Digest(const QString &address)
{
    // Read as the updater reads it, so that what is offered is checked there.
    static const QRegularExpression digest(QRegularExpression::anchoredPattern(u"sha256=[0-9A-Fa-f]{64}"_s));
    return digest.match(QUrl(address, QUrl::TolerantMode).fragment(QUrl::FullyDecoded)).hasMatch();
}

QUrl manifestUrl(const QString &host)
{
    return QUrl(u"https://"_s + host + u"/files/Velm/Version.json"_s, QUrl::TolerantMode);
}

QString repairedManifestText(const QString &text)
{
    QString repaired = text;
    repaired.remove(u'\r');
    repaired.remove(u'\n');
    repaired.remove(u'\t');
    repaired.replace(u"\\\""_s, u"\""_s);
    // A word right before a colon is a bare key, unless it follows a quote
    // directly, as the scheme of an address does. \w stays ASCII on purpose.
    static const QRegularExpression bareKey(u"(?<!\")(\\b\\w+\\b):"_s);
    repaired.replace(bareKey, u"\"\\1\":"_s);
    return repaired;
}

namespace {

// A manifest as read, and for a text that does not parse even after
// repair, the parser's reason and the repaired text.
struct Reading
{
    Manifest manifest;
    QString parseError;
    QString repairedText;
};

Reading read(const QByteArray &jsonData)
{
    // Valid JSON is taken as it is: the repair would break strings that hold
    // a word and a colon (an address with a port) or an escaped quote.
    QJsonParseError strictError;
    const QJsonDocument strict = QJsonDocument::fromJson(jsonData, &strictError);
    if (strictError.error == QJsonParseError::NoError)
        return {fromDocument(strict), {}, {}};

    Reading reading;
    reading.repairedText = repairedManifestText(QString::fromUtf8(jsonData));
    QJsonParseError repairedError;
    const QJsonDocument repaired = QJsonDocument::fromJson(reading.repairedText.toUtf8(), &repairedError);
    if (repairedError.error == QJsonParseError::NoError)
        return {fromDocument(repaired), {}, {}};
    reading.parseError = repairedError.errorString();
    reading.manifest.releaseNumber = 1;
    reading.manifest.problem = u"does not parse (%1)"_s.arg(reading.parseError);
    return reading;
}

} // namespace

Manifest readManifest(const QByteArray &jsonData)
{
    const Reading reading = read(jsonData);
    if (!reading.parseError.isEmpty()) {
        qWarning().noquote() << u"JSON parse error:"_s << reading.parseError;
        qDebug().noquote() << u"Ошибка в парсинге: "_s + reading.repairedText;
    } else if (!reading.manifest.problem.isEmpty()) {
        qWarning().noquote() << u"Document is not object"_s;
    }
    return reading.manifest;
}

QList<QByteArray> updateKeysFromText(const QString &text)
{
    QList<QByteArray> keys;
    const QStringList parts = text.split(u',');
    for (const QString &part : parts) {
        const QString key = part.trimmed();
        if (key.isEmpty())
            continue;
        // Kept even when it does not decode: an empty key verifies nothing.
        const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(key.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        keys.append(decoded ? decoded.decoded : QByteArray());
    }
    return keys;
}

UpdateOffer compareManifests(const Manifest &remote, const Manifest &local,
                             const QList<QByteArray> &updateKeys)
{
    UpdateOffer offer;
    offer.remoteRelease = remote.releaseNumber;
    offer.localRelease = local.releaseNumber;
    if (!local.problem.isEmpty())
        offer.localProblem = u"version.json "_s + local.problem;
    if (!remote.problem.isEmpty()) {
        offer.refusal = u"its Version.json "_s + remote.problem;
        return offer;
    }
    if (local.releaseNumber >= remote.releaseNumber)
        return offer;
    if (remote.downloadUrl.isEmpty()) {
        offer.refusal = u"its Version.json names no address (\"URL\")"_s;
        return offer;
    }
    // The signature first: the words of an address nobody signed stay out
    // of the log.
    if (!updateKeys.isEmpty()) {
        offer.refusal = unsignedReason(remote, updateKeys);
        if (!offer.refusal.isEmpty())
            return offer;
    }
    if (!isDownloadAddress(remote.downloadUrl)) {
        offer.refusal = u"its address (\"URL\") \"%1\" is not an absolute http or https address with a "
                        u"host"_s.arg(addressForTheLog(remote.downloadUrl));
        return offer;
    }
    offer.available = true;
    // As written: the updater reads it the same way.
    offer.downloadUrl = remote.downloadUrl;
    return offer;
}

UpdateOffer compareManifests(const QByteArray &remoteText, const QByteArray &localText,
                             const QList<QByteArray> &updateKeys)
{
    return compareManifests(read(remoteText).manifest, read(localText).manifest, updateKeys);
}

QString addressForTheLog(const QString &address)
{
    static const QRegularExpression queryOrFragment(u"[?#]"_s);
    return address.left(address.indexOf(queryOrFragment));
}

QString defaultUpdaterProgram(const QString &applicationDir)
{
#ifdef Q_OS_WIN
    // Found by the system's program search, which looks in our own folder first.
    Q_UNUSED(applicationDir);
    return u"Updater.exe"_s;
#else
    // Not on any search path here: both programs ship in one folder.
    return applicationDir + u"/Updater"_s;
#endif
}

QStringList updaterArguments(const QString &downloadUrl)
{
    return {u"--url=%1"_s.arg(downloadUrl)};
}
