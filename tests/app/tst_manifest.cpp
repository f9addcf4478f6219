#include "manifest.h"

#include "logcapture.h"
#include "lookup.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <climits>

using namespace Qt::StringLiterals;

namespace {

const QString noAddress = u"its Version.json names no address (\"URL\")"_s;
const QString noSignature = u"its Version.json carries no signature (\"Signature\")"_s;

QString unusableAddress(const QString &address)
{
    return u"its address (\"URL\") \""_s + address
         + u"\" is not an absolute http or https address with a host"_s;
}

QByteArray manifestText(int releaseNumber, const QString &address, const QString &signature)
{
    QJsonObject object {{u"Version"_s, releaseNumber}, {u"URL"_s, address}};
    if (!signature.isNull())
        object.insert(u"Signature"_s, signature);
    return QJsonDocument(object).toJson();
}

// A manifest whose "Signature" is a JSON array.
QByteArray manifestText(int releaseNumber, const QString &address, const QJsonArray &signatures)
{
    return QJsonDocument(
               QJsonObject {{u"Version"_s, releaseNumber}, {u"URL"_s, address}, {u"Signature"_s, signatures}})
        .toJson();
}

// Fixed test vectors, made once with OpenSSL 3.0 from three throwaway key
// pairs, a, b and c (their 32-byte private seeds in base64:
// a = hiD3MqDlu/pSHkMpYRSQek5P/ncLQgHs+jgKFV5agmY=,
// b = 2YjxQsbEJ6pQad6wOZ/r7InMzQPb9t+fIgkD8tddkGI=,
// c = JRCivCjKtuZoDcer+5SvYZ7JeMAYo/qOYdksEqkS3E4=):
//   openssl genpkey -algorithm ed25519 -out a.pem
//   openssl pkey -in a.pem -pubout -outform DER | tail -c 32 | base64
//   printf '5\n<address>' >message
//   openssl pkeyutl -sign -rawin -inkey a.pem -in message | base64 -w0
// OpenSSL rather than libgcrypt, so that the check is seen to accept what
// another implementation signs.
const QByteArray keyA = QByteArray::fromBase64("E1Z/DISOwntsioyztSkphJzvqeKt1fnBrnEEbz2vEIw=");
const QByteArray keyB = QByteArray::fromBase64("tBKSxGNpjMDpyliICx2XKuiZCPlH2K1orD1moK5I/9I=");
const QString pinnedAddress = u"https://u.example/OperatorVelm-5.exe"
                              u"#sha256=e0abd302a1d6defffae2cd187bf9575977ff9671508f3bd9f19acd46b4d568ce"_s;
const QString pinnedByA =
    u"06DrptB9vfNySp84I9WnGTbBz9W8oo4+ZXnAzaApBCM8rZnO5kqd/JGvLlolsPKpdFP6+Po2diGooDr8hLuiDQ=="_s;
const QString pinnedByB =
    u"vaUKZ6LfSvDg2y7F2VIslU1rXAl3N9KBuz5q2MwkOgfv1kD/rqxz4fuUqDg4B29+Bka+hqrzFvMtCCndVf3EBQ=="_s;
const QString pinnedByC =
    u"HVZqr8kHaBHhSox99miXajbmtB0ziGi5FlhBBDRNxiSlHk8BsFz4+O1vP9XZ95AaK+Cahq1iHglvUq72U+KvBQ=="_s;
// "5\nhttps://u.example/OperatorVelm-5.exe", signed with a.
const QString unpinnedByA =
    u"rntC3inTbPgPluIRuCFFycJy7uyCjGWhf9zGRCuwL0NMakSEx2/Z/rAVBjAiokDESPDSSirweLRwEpryBWM8DQ=="_s;

} // namespace

class TestManifest final : public QObject
{
    Q_OBJECT

private slots:
    void readManifest_data();
    void readManifest();
    void repairedText_data();
    void repairedText();
    void compare_data();
    void compare();
    void updateKeys_data();
    void updateKeys();
    void manifestAddress_data();
    void manifestAddress();
    void updaterCommandLine_data();
    void updaterCommandLine();
    void updaterBesideTheProgram();
};

void TestManifest::readManifest_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("releaseNumber");
    QTest::addColumn<QString>("downloadUrl");
    // What the repair made of text that still does not parse; null when the
    // text was read.
    QTest::addColumn<QString>("unreadableAfterRepair");
    QTest::addColumn<bool>("notObject");

    const QString none;
    QTest::newRow("strict") << QByteArray(R"({"Version": 4, "URL": "https://u.example/f.exe"})") << 4
                            << u"https://u.example/f.exe"_s << none << false;
    QTest::newRow("pretty-printed with CRLF and tabs")
        << QByteArray("{\r\n\t\"Version\": 4,\r\n\t\"URL\": \"https://u.example/f.exe\"\r\n}\r\n") << 4
        << u"https://u.example/f.exe"_s << none << false;
    // Valid JSON is never repaired, so these strings survive.
    QTest::newRow("address with a port") << QByteArray(R"({"Version": 7, "URL": "https://host:8443/f.exe"})")
                                         << 7 << u"https://host:8443/f.exe"_s << none << false;
    QTest::newRow("escaped quote") << QByteArray(
        R"({"Note": "say \"hi\"", "Version": 6, "URL": "https://u/f.exe"})")
                                   << 6 << u"https://u/f.exe"_s << none << false;
    QTest::newRow("word and colon in a text")
        << QByteArray(R"({"Note": "see also: notes", "Version": 5})") << 5 << QString() << none << false;
    // Not JSON, but mended by the repair.
    QTest::newRow("bare keys") << QByteArray(R"({Version: 4, URL: "https://u.example/f.exe"})") << 4
                               << u"https://u.example/f.exe"_s << none << false;
    QTest::newRow("bare keys with CRLF and tabs")
        << QByteArray("{\r\n\tVersion: 4,\r\n\tURL: \"https://u.example/f.exe\"\r\n}\r\n") << 4
        << u"https://u.example/f.exe"_s << none << false;
    QTest::newRow("line break inside a string")
        << QByteArray("{\"Version\": 3, \"URL\": \"https://u/\nf.exe\"}") << 3 << u"https://u/f.exe"_s << none
        << false;
    QTest::newRow("line break and tab inside a bare-key string")
        << QByteArray("{Version: 3, URL: \"https://u/\r\n\tf.exe\"}") << 3 << u"https://u/f.exe"_s << none
        << false;
    // "Version" that is no 32-bit integral number.
    QTest::newRow("Version as a string")
        << QByteArray(R"({"Version": "5"})") << 0 << QString() << none << false;
    QTest::newRow("Version missing") << QByteArray(R"({"URL": "https://u/f.exe"})") << 0
                                     << u"https://u/f.exe"_s << none << false;
    QTest::newRow("fraction") << QByteArray(R"({"Version": 4.5})") << 0 << QString() << none << false;
    QTest::newRow("integral written as decimal")
        << QByteArray(R"({"Version": 4.0})") << 4 << QString() << none << false;
    QTest::newRow("beyond 32 bits") << QByteArray(R"({"Version": 2147483648})") << 0 << QString() << none
                                    << false;
    QTest::newRow("lowest 32-bit") << QByteArray(R"({"Version": -2147483648})") << INT_MIN << QString()
                                   << none << false;
    QTest::newRow("boolean") << QByteArray(R"({"Version": true})") << 0 << QString() << none << false;
    QTest::newRow("URL not a string")
        << QByteArray(R"({"Version": 4, "URL": 17})") << 4 << QString() << none << false;
    // Unreadable even after repair.
    QTest::newRow("empty") << QByteArray() << 1 << QString() << u""_s << false;
    QTest::newRow("blank lines") << QByteArray(" \r\n\t\r\n") << 1 << QString() << u" "_s << false;
    QTest::newRow("not JSON") << QByteArray("Version 4") << 1 << QString() << u"Version 4"_s << false;
    QTest::newRow("escaped quote in a bare-key manifest")
        << QByteArray(R"({Version: 4, Note: "say \"hi\""})") << 1 << QString()
        << uR"({"Version": 4, "Note": "say "hi""})"_s << false;
    QTest::newRow("port in a bare-key manifest")
        << QByteArray(R"({Version: 4, URL: "https://host:8443/f.exe"})") << 1 << QString()
        << uR"({"Version": 4, "URL": "https://"host":8443/f.exe"})"_s << false;
    QTest::newRow("Cyrillic bare key")
        << QByteArray(R"({Версия: 4})") << 1 << QString() << uR"({Версия: 4})"_s << false;
    // Parsed, but not an object.
    QTest::newRow("top level array") << QByteArray(R"([{"Version": 4}])") << 1 << QString() << none << true;
    QTest::newRow("array after repair") << QByteArray("[{Version: 4}]") << 1 << QString() << none << true;
}

void TestManifest::readManifest()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, unreadableAfterRepair);
    QFETCH(bool, notObject);

    LogCapture log;
    const Manifest manifest = ::readManifest(text);
    QTEST(manifest.releaseNumber, "releaseNumber");
    QTEST(manifest.downloadUrl, "downloadUrl");

    QStringList warnings;
    QStringList debugLines;
    if (!unreadableAfterRepair.isNull()) {
        warnings.append(parseErrorLine(unreadableAfterRepair));
        debugLines.append(u"Ошибка в парсинге: "_s + unreadableAfterRepair);
    }
    if (notObject)
        warnings.append(u"Document is not object"_s);
    QCOMPARE(log.texts(QtWarningMsg), warnings);
    QCOMPARE(log.texts(QtDebugMsg), debugLines);
    QCOMPARE(log.lines().size(), warnings.size() + debugLines.size());
    // The warning comes first.
    if (!unreadableAfterRepair.isNull())
        QCOMPARE(log.lines().first().type, QtWarningMsg);
}

void TestManifest::repairedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("repaired");

    QTest::newRow("bare keys") << uR"({Version: 4, URL: "https://u/f.exe"})"_s
                               << uR"({"Version": 4, "URL": "https://u/f.exe"})"_s;
    QTest::newRow("quoted keys stay") << uR"({"Version": 4})"_s << uR"({"Version": 4})"_s;
    QTest::newRow("digits and underscore") << uR"({release_2: 1})"_s << uR"({"release_2": 1})"_s;
    QTest::newRow("line ends and tabs go") << u"{\r\n\t\"Version\":\t4\r\n}"_s << uR"({"Version":4})"_s;
    QTest::newRow("escaped quote") << uR"({"a": "x\"y"})"_s << uR"({"a": "x"y"})"_s;
    QTest::newRow("word after a slash") << uR"("https://host:8443/")"_s << uR"("https://"host":8443/")"_s;
    // \w is ASCII only: Cyrillic letters are no word characters.
    QTest::newRow("Cyrillic key") << uR"({Версия: 4})"_s << uR"({Версия: 4})"_s;
    QTest::newRow("digit after Cyrillic") << uR"({ключ1: 4})"_s << uR"({ключ"1": 4})"_s;
    QTest::newRow("accented Latin") << uR"({Versión: 4})"_s << uR"({Versió"n": 4})"_s;
}

void TestManifest::repairedText()
{
    QFETCH(QString, text);
    QTEST(repairedManifestText(text), "repaired");
}

void TestManifest::compare_data()
{
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<bool>("available");
    QTest::addColumn<QString>("downloadUrl");
    // Why: the refusal, then why version.json counts as release 1, each if any.
    QTest::addColumn<QStringList>("reasons");
    // The build's update keys: raw Ed25519 public keys, none for none.
    QTest::addColumn<QList<QByteArray>>("updateKeys");

    // Builds without an update key: the manifest's word is taken.
    const QList<QByteArray> noKey;
    const QByteArray newer = R"({"Version": 5, "URL": "https://u.example/OperatorVelm-5.exe"})";
    const QString address = u"https://u.example/OperatorVelm-5.exe"_s;
    QTest::newRow("newer") << newer << QByteArray(R"({"Version": 4})") << true << address << QStringList()
                           << noKey;
    QTest::newRow("equal") << newer << QByteArray(R"({"Version": 5})") << false << QString() << QStringList()
                           << noKey;
    QTest::newRow("lower") << newer << QByteArray(R"({"Version": 6})") << false << QString() << QStringList()
                           << noKey;
    QTest::newRow("newer, bare keys")
        << QByteArray(R"({Version: 5, URL: "https://u.example/OperatorVelm-5.exe"})")
        << QByteArray("{Version: 4}") << true << address << QStringList() << noKey;
    QTest::newRow("newer, no URL") << QByteArray(R"({"Version": 5})") << QByteArray(R"({"Version": 4})")
                                   << false << QString() << QStringList {noAddress} << noKey;
    QTest::newRow("newer, empty URL")
        << QByteArray(R"({"Version": 5, "URL": ""})") << QByteArray(R"({"Version": 4})") << false << QString()
        << QStringList {noAddress} << noKey;
    QTest::newRow("newer, URL not a string")
        << QByteArray(R"({"Version": 5, "URL": ["x"]})") << QByteArray(R"({"Version": 4})") << false
        << QString() << QStringList {noAddress} << noKey;
    // Only what the updater can download from is offered.
    const QByteArray four = R"({"Version": 4})";
    for (const QString &unusable :
         {u"   "_s, u"files/x.exe"_s, u"/files/Velm/x.exe"_s, u"//u.example/x.exe"_s,
          u" https://u.example/x.exe"_s, u"ftp://u.example/x.exe"_s, u"file:///C:/Velm/x.exe"_s,
          u"mailto:updates@u.example"_s, u"https:///x.exe"_s, u"http:x.exe"_s, u"http://:80/x.exe"_s,
          u"https://u example/x.exe"_s}) {
        const QByteArray remote =
            QJsonDocument(QJsonObject {{u"Version"_s, 5}, {u"URL"_s, unusable}}).toJson();
        QTest::addRow("newer, URL \"%s\"", qPrintable(unusable))
            << remote << four << false << QString() << QStringList {unusableAddress(unusable)} << noKey;
    }
    // A usable address goes on exactly as written, not as QUrl would spell it.
    QTest::newRow("newer, http, spelled loosely")
        << QByteArray(R"({"Version": 5, "URL": "HTTP://U.Example:8080/files/Файл 5.exe?a=b c"})") << four
        << true << u"HTTP://U.Example:8080/files/Файл 5.exe?a=b c"_s << QStringList() << noKey;
    QTest::newRow("empty local file")
        << QByteArray(R"({"Version": 2, "URL": "https://u/f.exe"})") << QByteArray() << true
        << u"https://u/f.exe"_s << QStringList {u"version.json "_s + parseProblem(QString())} << noKey;
    QTest::newRow("unreadable remote above a zero local")
        << QByteArray("oops") << QByteArray(R"({"Version": 0})") << false << QString()
        << QStringList {u"its Version.json "_s + parseProblem(u"oops"_s)} << noKey;
    // A captive portal's page: never "nothing newer", whatever the numbers.
    QTest::newRow("unreadable remote below the local")
        << QByteArray("<html>Sign in</html>") << QByteArray(R"({"Version": 3})") << false << QString()
        << QStringList {u"its Version.json "_s + parseProblem(u"<html>Sign in</html>"_s)} << noKey;
    QTest::newRow("remote not an object")
        << QByteArray(R"([5])") << QByteArray(R"({"Version": 0})") << false << QString()
        << QStringList {u"its Version.json is not a JSON object"_s} << noKey;
    // An unsigned manifest's address stays out of the log; a signed one's
    // is shown up to its query.
    QTest::newRow("unsigned refused address")
        << manifestText(5, u"ftp://u.example/x.exe?token=1#sha256=00"_s, QString()) << four << false
        << QString() << QStringList {noSignature} << QList<QByteArray> {keyA};
    QTest::newRow("refused address with a query")
        << manifestText(5, u"ftp://u.example/x.exe?token=1#sha256=00"_s, QString()) << four << false
        << QString() << QStringList {unusableAddress(u"ftp://u.example/x.exe"_s)} << noKey;
    QTest::newRow("Version as a string")
        << QByteArray(R"({"Version": "5", "URL": "https://u/f.exe"})") << QByteArray(R"({"Version": 4})")
        << false << QString() << QStringList() << noKey;
    QTest::newRow("widest gap") << QByteArray(R"({"Version": 2147483647, "URL": "https://u/f.exe"})")
                                << QByteArray(R"({"Version": -2147483648})") << true << u"https://u/f.exe"_s
                                << QStringList() << noKey;

    // With an update key, only a manifest signed with it, whose address pins
    // the file by its digest, is offered.
    const QList<QByteArray> onlyA {keyA};
    const QString mismatch = u"its signature (\"Signature\") does not match its \"Version\" and \"URL\" "
                             u"under the update key"_s;
    const QString malformed = u"its signature (\"Signature\") is not base64 of 64 bytes"_s;
    QTest::newRow("signed") << manifestText(5, pinnedAddress, pinnedByA) << four << true << pinnedAddress
                            << QStringList() << onlyA;
    QTest::newRow("signed with another key") << manifestText(5, pinnedAddress, pinnedByB) << four << false
                                             << QString() << QStringList {mismatch} << onlyA;
    QString otherAddress = pinnedAddress;
    otherAddress[8] = u'v'; // https://v.example/...
    QTest::newRow("address changed after signing") << manifestText(5, otherAddress, pinnedByA) << four
                                                   << false << QString() << QStringList {mismatch} << onlyA;
    QTest::newRow("number changed after signing") << manifestText(6, pinnedAddress, pinnedByA) << four
                                                  << false << QString() << QStringList {mismatch} << onlyA;
    QTest::newRow("no signature") << manifestText(5, pinnedAddress, QString()) << four << false << QString()
                                  << QStringList {noSignature} << onlyA;
    QString notBase64 = pinnedByA;
    notBase64[10] = u'*';
    QTest::newRow("signature not base64") << manifestText(5, pinnedAddress, notBase64) << four << false
                                          << QString() << QStringList {malformed} << onlyA;
    const QString shortSignature =
        QString::fromLatin1(QByteArray::fromBase64(pinnedByA.toLatin1()).chopped(1).toBase64());
    QTest::newRow("signature of 63 bytes") << manifestText(5, pinnedAddress, shortSignature) << four << false
                                           << QString() << QStringList {malformed} << onlyA;
    QTest::newRow("signed address without a digest")
        << manifestText(5, address, unpinnedByA) << four << false << QString()
        << QStringList {u"its address (\"URL\") carries no SHA-256 digest (#sha256= and 64 hex digits)"_s}
        << onlyA;
    // Without a key the signature is not even looked at.
    QTest::newRow("no update key, another key's signature")
        << manifestText(5, pinnedAddress, pinnedByB) << four << true << pinnedAddress << QStringList()
        << noKey;
    QTest::newRow("no update key, broken signatures") << manifestText(5, address, QJsonArray {notBase64, 17})
                                                      << four << true << address << QStringList() << noKey;

    // Several keys built in: a signature under any of them will do.
    const QList<QByteArray> aAndB {keyA, keyB};
    QTest::newRow("two keys, signed with the first") << manifestText(5, pinnedAddress, pinnedByA) << four
                                                     << true << pinnedAddress << QStringList() << aAndB;
    QTest::newRow("two keys, signed with the second") << manifestText(5, pinnedAddress, pinnedByB) << four
                                                      << true << pinnedAddress << QStringList() << aAndB;
    QTest::newRow("two keys, signed with neither") << manifestText(5, pinnedAddress, pinnedByC) << four
                                                   << false << QString() << QStringList {mismatch} << aAndB;
    QTest::newRow("two keys, address changed after signing")
        << manifestText(5, otherAddress, pinnedByB) << four << false << QString() << QStringList {mismatch}
        << aAndB;
    QTest::newRow("key that is not base64 still asks for a signature")
        << manifestText(5, pinnedAddress, QString()) << four << false << QString()
        << QStringList {noSignature} << QList<QByteArray> {QByteArray()};

    // "Signature" as a list: one signature under one built-in key will do.
    const QString listMismatch = u"none of the signatures in its \"Signature\" list matches its \"Version\" "
                                 u"and \"URL\" under an update key"_s;
    const QString listMalformed = u"none of the signatures in its \"Signature\" list is base64 of 64 bytes"_s;
    QTest::newRow("list, a broken signature and a good one")
        << manifestText(5, pinnedAddress, QJsonArray {notBase64, pinnedByA}) << four << true << pinnedAddress
        << QStringList() << onlyA;
    QTest::newRow("list, a number and a good signature")
        << manifestText(5, pinnedAddress, QJsonArray {17, pinnedByB}) << four << true << pinnedAddress
        << QStringList() << aAndB;
    // The publisher signs with the old key and the new one; a program that
    // knows only the new key skips the old one's signature.
    QTest::newRow("list, another key's signature first")
        << manifestText(5, pinnedAddress, QJsonArray {pinnedByA, pinnedByB}) << four << true << pinnedAddress
        << QStringList() << QList<QByteArray> {keyB};
    QTest::newRow("list, a good signature alone") << manifestText(5, pinnedAddress, QJsonArray {pinnedByA})
                                                  << four << true << pinnedAddress << QStringList() << onlyA;
    QTest::newRow("list, only unknown keys")
        << manifestText(5, pinnedAddress, QJsonArray {pinnedByB, pinnedByC}) << four << false << QString()
        << QStringList {listMismatch} << onlyA;
    QTest::newRow("list, an unknown key and a broken signature")
        << manifestText(5, pinnedAddress, QJsonArray {pinnedByC, shortSignature}) << four << false
        << QString() << QStringList {listMismatch} << aAndB;
    QTest::newRow("list, only broken signatures")
        << manifestText(5, pinnedAddress,
                        QJsonArray {notBase64, shortSignature, u""_s, 17, QJsonArray {pinnedByA}})
        << four << false << QString() << QStringList {listMalformed} << onlyA;
    QTest::newRow("list, number changed after signing")
        << manifestText(6, pinnedAddress, QJsonArray {pinnedByA, pinnedByB}) << four << false << QString()
        << QStringList {listMismatch} << aAndB;
    QTest::newRow("empty list") << manifestText(5, pinnedAddress, QJsonArray()) << four << false << QString()
                                << QStringList {noSignature} << aAndB;
    QTest::newRow("list, signed address without a digest")
        << manifestText(5, address, QJsonArray {notBase64, unpinnedByA}) << four << false << QString()
        << QStringList {u"its address (\"URL\") carries no SHA-256 digest (#sha256= and 64 hex digits)"_s}
        << onlyA;
}

void TestManifest::compare()
{
    QFETCH(QByteArray, remote);
    QFETCH(QByteArray, local);
    QFETCH(QList<QByteArray>, updateKeys);

    const UpdateOffer offer = compareManifests(remote, local, updateKeys);
    QTEST(offer.available, "available");
    QTEST(offer.downloadUrl, "downloadUrl");
    QStringList reasons {offer.refusal, offer.localProblem};
    reasons.removeAll(QString());
    QTEST(reasons, "reasons");
}

void TestManifest::updateKeys_data()
{
    // VELM_UPDATE_KEY as the build passes it.
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("keys");

    const QString a = u"E1Z/DISOwntsioyztSkphJzvqeKt1fnBrnEEbz2vEIw="_s;
    const QString b = u"tBKSxGNpjMDpyliICx2XKuiZCPlH2K1orD1moK5I/9I="_s;
    QTest::newRow("empty") << QString() << QList<QByteArray>();
    QTest::newRow("blank") << u" \t "_s << QList<QByteArray>();
    QTest::newRow("one key") << a << QList<QByteArray> {keyA};
    QTest::newRow("two keys") << a + u","_s + b << QList<QByteArray> {keyA, keyB};
    QTest::newRow("two keys with spaces")
        << u" "_s + a + u" ,  "_s + b + u" "_s << QList<QByteArray> {keyA, keyB};
    QTest::newRow("trailing comma") << a + u","_s << QList<QByteArray> {keyA};
    QTest::newRow("empty part between") << b + u", ,"_s + a << QList<QByteArray> {keyB, keyA};
    // A part that does not decode stays a key, one that verifies nothing,
    // rather than leaving a build that asks for no signature at all.
    QTest::newRow("not base64") << u"no key!"_s << QList<QByteArray> {QByteArray()};
}

void TestManifest::updateKeys()
{
    QFETCH(QString, text);
    QTEST(updateKeysFromText(text), "keys");
}

void TestManifest::manifestAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");

    QTest::newRow("host name") << u"updates.example.org"_s
                               << u"https://updates.example.org/files/Velm/Version.json"_s << -1;
    QTest::newRow("host and port") << u"127.0.0.1:8443"_s
                                   << u"https://127.0.0.1:8443/files/Velm/Version.json"_s << 8443;
}

void TestManifest::manifestAddress()
{
    QFETCH(QString, host);
    const QUrl address = manifestUrl(host);
    QVERIFY(address.isValid());
    QCOMPARE(address.scheme(), u"https"_s);
    QCOMPARE(address.path(), u"/files/Velm/Version.json"_s);
    QTEST(address.toString(), "address");
    QTEST(address.port(), "port");
}

void TestManifest::updaterCommandLine_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("argument");

    QTest::newRow("plain") << u"https://u/f.exe"_s << u"--url=https://u/f.exe"_s;
    QTest::newRow("empty") << QString() << u"--url="_s;
    QTest::newRow("equals signs and spaces")
        << u"https://u/get?file=a b.exe&v=5"_s << u"--url=https://u/get?file=a b.exe&v=5"_s;
    QTest::newRow("percent signs stay") << u"https://u/%1/a%20b.exe"_s << u"--url=https://u/%1/a%20b.exe"_s;
}

void TestManifest::updaterCommandLine()
{
    QFETCH(QString, address);
    QFETCH(QString, argument);
    QCOMPARE(updaterArguments(address), QStringList {argument});
}

void TestManifest::updaterBesideTheProgram()
{
#ifdef Q_OS_WIN
    QCOMPARE(defaultUpdaterProgram(u"C:/Velm"_s), u"Updater.exe"_s);
#else
    QCOMPARE(defaultUpdaterProgram(u"/opt/velm"_s), u"/opt/velm/Updater"_s);
#endif
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
