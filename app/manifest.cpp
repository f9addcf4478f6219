#include "manifest.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

Manifest fromDocument(const QJsonDocument &document)
{
    Manifest manifest;
    if (!document.isObject()) {
        qWarning().noquote() << u"Document is not object"_s;
        manifest.releaseNumber = 1;
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

} // namespace

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

Manifest readManifest(const QByteArray &jsonData)
{
    // Valid JSON is taken as it is: the repair would break strings that hold
    // a word and a colon (an address with a port) or an escaped quote.
    QJsonParseError strictError;
    const QJsonDocument strict = QJsonDocument::fromJson(jsonData, &strictError);
    if (strictError.error == QJsonParseError::NoError)
        return fromDocument(strict);

    const QString repairedText = repairedManifestText(QString::fromUtf8(jsonData));
    QJsonParseError repairedError;
    const QJsonDocument repaired = QJsonDocument::fromJson(repairedText.toUtf8(), &repairedError);
    if (repairedError.error != QJsonParseError::NoError) {
        qWarning().noquote() << u"JSON parse error:"_s << repairedError.errorString();
        qDebug().noquote() << u"Ошибка в парсинге: "_s + repairedText;
        Manifest unreadable;
        unreadable.releaseNumber = 1;
        return unreadable;
    }
    return fromDocument(repaired);
}

UpdateOffer compareManifests(const QByteArray &remoteText, const QByteArray &localText)
{
    const Manifest remote = readManifest(remoteText);
    const Manifest local = readManifest(localText);

    UpdateOffer offer;
    if (local.releaseNumber >= remote.releaseNumber)
        return offer;
    if (remote.downloadUrl.isEmpty()) {
        qWarning().noquote() << u"The server's Version.json offers release %1 but names no "
                                u"address (\"URL\"); the update is not offered"_s.arg(remote.releaseNumber);
        return offer;
    }
    if (!isDownloadAddress(remote.downloadUrl)) {
        qWarning().noquote() << u"The server's Version.json offers release %1 but its address (\"URL\") "
                                u"\"%2\" is not an absolute http or https address with a host; the update "
                                u"is not offered"_s.arg(QString::number(remote.releaseNumber),
                                                        remote.downloadUrl);
        return offer;
    }
    offer.available = true;
    // As written: the updater reads it the same way.
    offer.downloadUrl = remote.downloadUrl;
    return offer;
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
