#pragma once

#include <QByteArray>
#include <QtGlobal>

// libgcrypt's handle, kept out of this header.
struct gcry_md_handle;

// The SHA-256 of a stream fed to it piece by piece, from libgcrypt.
class Sha256 final
{
    Q_DISABLE_COPY_MOVE(Sha256)

public:
    // Sets libgcrypt up on first use; isValid() says whether that worked.
    Sha256();
    ~Sha256();

    bool isValid() const { return handle != nullptr; }
    void addData(const char *data, qsizetype length);
    // The 32 bytes of the digest of everything added; nothing may be added
    // after.
    QByteArray finish();

private:
    gcry_md_handle *handle = nullptr;
};
