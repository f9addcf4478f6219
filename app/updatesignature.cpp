#include "updatesignature.h"

#include <gcrypt.h>

#include <memory>

namespace {

constexpr qsizetype publicKeyBytes = 32;
constexpr qsizetype signatureBytes = 64;

// Once per process, as libgcrypt's manual asks of a program: the version
// check first, then no secure memory (we only check signatures, with no
// secret to guard), then done.
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

struct SexpRelease
{
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpRelease>;

// Builds one S-expression from format; null when libgcrypt refuses it.
template<typename... Arguments>
Sexp buildSexp(const char *format, Arguments... arguments)
{
    gcry_sexp_t sexp = nullptr;
    if (gcry_sexp_build(&sexp, nullptr, format, arguments...) != 0)
        return nullptr;
    return Sexp(sexp);
}

} // namespace

bool isEd25519Signature(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    if (publicKey.size() != publicKeyBytes || signature.size() != signatureBytes || !libgcryptReady())
        return false;
    // The forms of libgcrypt's manual for pure Ed25519 (RFC 8032): the
    // message itself is signed, not a digest of it.
    const Sexp key = buildSexp("(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", int(publicKeyBytes),
                               publicKey.constData());
    const Sexp data = buildSexp("(data(flags eddsa)(hash-algo sha512)(value %b))", int(message.size()),
                                message.constData());
    const Sexp sig = buildSexp("(sig-val(eddsa(r %b)(s %b)))", int(signatureBytes / 2), signature.constData(),
                               int(signatureBytes / 2), signature.constData() + signatureBytes / 2);
    return key && data && sig && gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}
