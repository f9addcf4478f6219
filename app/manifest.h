#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// What one version manifest ("version.json" here, "Version.json" on the
// update server) says.
struct Manifest
{
    // 1 when the text is not a JSON object even after repair; 0 when
    // "Version" is missing or not a 32-bit integral number.
    int releaseNumber = 0;
    // "URL" of the same document that gave the release number; empty when
    // it is missing or not a string.
    QString downloadUrl;
    // "Signature" as written: base64 of Ed25519 signatures (see
    // signedBytes). One string gives one entry, an empty one none; a JSON
    // array gives one entry per element, empty for an element that is not a
    // string. Empty when "Signature" is missing or anything else.
    QStringList signatures;
    // Whether "Signature" was written as a JSON array.
    bool signatureList = false;
    // Why the text counts as release 1, in the log's words: "does not parse
    // (<the parser's reason>)" or "is not a JSON object"; empty when read.
    QString problem;
};

// The outcome of one update check, with why.
struct UpdateOffer
{
    bool available = false;
    QString downloadUrl; // set only when available
    int remoteRelease = 0;
    int localRelease = 0;
    // Why nothing is offered although there may be a newer release: the
    // server's manifest unreadable, or a newer one refused. Empty when
    // offered or when the server's release is simply not newer.
    QString refusal;
    // Why version.json counts as release 1; empty when it was read.
    QString localProblem;
};

// The address of the server's manifest on the given host (a port may follow
// the host after a colon).
QUrl manifestUrl(const QString &host);

// Mends the spellings that hand-edited manifests carry: line breaks, tabs,
// escaped quotes and bare keys such as Version: 4.
QString repairedManifestText(const QString &text);

// Reads a manifest as strict JSON, and only when that fails as repaired
// text. Logs (as getVersion does) the parse error of the repaired text and
// the repaired text, or a top level that is not an object.
Manifest readManifest(const QByteArray &jsonData);

// What a manifest's "Signature" signs: the release number in decimal, a
// line feed and the address, as read, in UTF-8.
QByteArray signedBytes(const Manifest &manifest);

// Whether address ends in the fragment "#sha256=<64 hex digits>", the
// digest that the updater checks the file against.
bool carriesSha256Digest(const QString &address);

// The update keys that a build names in text: public keys in base64,
// separated by commas, with spaces around them allowed and empty parts
// skipped. A part that is not base64 stays in the list as a key that
// verifies nothing, so that a mistyped key never lets unsigned releases in.
QList<QByteArray> updateKeysFromText(const QString &text);

// Compares the server's manifest with the local one, and says why nothing
// is offered; logs nothing. A server's manifest that is no JSON object is
// never offered. With update keys (32-byte Ed25519 public keys; none for an
// unsigned build) a newer release is offered only when one of its
// signatures verifies under one of the keys and its address carries a
// SHA-256 digest, so that the file is pinned as well. Its address must be
// an absolute http or https address that names a host, since the updater
// could do nothing with any other.
UpdateOffer compareManifests(const Manifest &remote, const Manifest &local,
                             const QList<QByteArray> &updateKeys);
// The same for the two texts, read without a line logged.
UpdateOffer compareManifests(const QByteArray &remoteText, const QByteArray &localText,
                             const QList<QByteArray> &updateKeys);

// The address as the log may show it: as written, up to its query or
// fragment, which may carry tokens.
QString addressForTheLog(const QString &address);

// The updater that ships beside OperatorVelm in applicationDir.
QString defaultUpdaterProgram(const QString &applicationDir);

// The updater's command line: exactly one argument with the address as stored.
QStringList updaterArguments(const QString &downloadUrl);
