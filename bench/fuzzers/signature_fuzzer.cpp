// A release signature file as a server sends it, and its trusted comment: parsed, and checked
// against a key, without a crash; an accepted comment says the same once written out again.
#include "fuzz_support.h"

#include "engine/release_signature.h"

namespace {

bool sameFields(const release::TrustedComment &a, const release::TrustedComment &b)
{
    return a.product == b.product && a.path == b.path && a.version == b.version && a.sequence == b.sequence
        && a.expires == b.expires;
}

void checkComment(const QByteArray &text)
{
    release::TrustedComment comment;
    if (!release::parseTrustedComment(text, &comment))
        return;
    release::TrustedComment again;
    if (!release::parseTrustedComment(release::formatTrustedComment(comment), &again)
        || !sameFields(comment, again))
        fuzzFailure("a trusted comment does not survive being written out");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    checkComment(bytes);
    release::SignatureFile file;
    if (release::parseSignatureFile(bytes, &file)) {
        if (file.keyId.size() != 8 || file.signature.size() != 64 || file.globalSignature.size() != 64)
            fuzzFailure("a parsed signature has the wrong sizes");
        checkComment(file.trustedComment);
    }
    // The whole check, with a key the seeds' signatures may be made with (the test key).
    static const release::Verifier verifier("RWRami3UK2aw6jEeN0o9aJr9VnoYTya5zGjJ6H7DITjjLJwy5sBE+g3S", 0);
    release::TrustedComment said;
    if (verifier.verify("fuzz\n", bytes, "/bin/versions.xml", QByteArray(), 0, &said)
        && (said.path != "/bin/versions.xml" || !said.version.isEmpty()))
        fuzzFailure("a signature for another file was accepted");
    return 0;
}
