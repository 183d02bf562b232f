// OpenSSL's libcrypto, loaded by the first digest (see deferred_library.h). libcurl loads the
// same library for its TLS; a launch loads neither.
#include "platform/posix/deferred_library.h"

#include <openssl/evp.h>

namespace {
platform::DeferredLibrary crypto("libcrypto.so.3");
} // namespace

extern "C" {

// The forwarders' parameter lists are macro arguments, which clang-format would lay out as
// expressions ("Display * d").
// clang-format off

KORVEL_DEFERRED(crypto, EVP_MD_CTX_new, (), (), nullptr)
KORVEL_DEFERRED(crypto, EVP_MD_CTX_free, (EVP_MD_CTX *context), (context), )
KORVEL_DEFERRED(crypto, EVP_sha256, (), (), nullptr)
KORVEL_DEFERRED(crypto, EVP_DigestInit_ex,
                (EVP_MD_CTX *context, const EVP_MD *type, ENGINE *engine), (context, type, engine), 0)
KORVEL_DEFERRED(crypto, EVP_DigestUpdate, (EVP_MD_CTX *context, const void *data, size_t length),
                (context, data, length), 0)
KORVEL_DEFERRED(crypto, EVP_DigestFinal_ex,
                (EVP_MD_CTX *context, unsigned char *digest, unsigned int *length),
                (context, digest, length), 0)

// clang-format on

} // extern "C"
