#include "sha256.h"

#include <gcrypt.h>

namespace {

// Once per process, as libgcrypt's manual asks of a program: the version
// check first, then no secure memory (we hold no secrets), then done.
bool libgcryptReady()
{
    static const bool ready = [] {
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P))
            return gcry_check_version(GCRYPT_VERSION) != nullptr;
        if (gcry_check_version(GCRYPT_VERSION) == nullptr)
            return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

} // namespace

Sha256::Sha256()
{
    if (libgcryptReady() && gcry_md_open(&handle, GCRY_MD_SHA256, 0) != 0)
        handle = nullptr;
}

Sha256::~Sha256()
{
    gcry_md_close(handle); // does nothing for a null handle
}

void Sha256::addData(const char *data, qsizetype length)
{
    if (handle)
        gcry_md_write(handle, data, size_t(length));
}

QByteArray Sha256::finish()
{
    if (!handle)
        return {};
    const unsigned int size = gcry_md_get_algo_dlen(GCRY_MD_SHA256);
    return QByteArray(reinterpret_cast<const char *>(gcry_md_read(handle, GCRY_MD_SHA256)), qsizetype(size));
}
