#pragma once

#include <QByteArray>

// Whether signature is a valid Ed25519 signature of message under
// publicKey, as libgcrypt checks it. A key of other than 32 bytes, a
// signature of other than 64 bytes and a libgcrypt that cannot be set up
// all give false.
bool isEd25519Signature(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature);
