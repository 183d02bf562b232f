#include "publisher.h"

#include <QTextStream>

#include <cstdio>

namespace {

const char kUsage[] =
    "usage: korvel-publish --version V --source DIR --output TREE --entry-file FILE\n"
    "                      --entry-function NAME [--prefetch] [--packages FILE]\n"
    "                      [--package-size BYTES] [--patch-depth N]\n"
    "                      [--sign-key KEY --sequence N (--expires UNIXTIME | --no-expiry)\n"
    "                       [--sign-password-file FILE] [--expect-public-key KEYS]\n"
    "                       [--force-sequence]]\n"
    "                      [--authenticode-certificate CERT.pem --authenticode-key KEY.pem]\n"
    "       korvel-publish --resign --output TREE --sign-key KEY --sequence N\n"
    "                      (--expires UNIXTIME | --no-expiry) [--sign-password-file FILE]\n"
    "                      [--expect-public-key KEYS] [--force-sequence]\n"
    "\n"
    "Packs the version directory DIR (laid out as installed: Korvel.exe, the client library,\n"
    "data) into 7z packages, one per top-level entry unless FILE groups top-level entries\n"
    "(lines of \"name entry...\", # starts a comment); a package of more than BYTES of files\n"
    "(default 4 MiB) is cut into pieces along its sorted file list, named NAME-001 and on.\n"
    "A package whose bytes an earlier version in TREE published is listed as that version's.\n"
    "A published package file is never replaced: a version published again with other bytes\n"
    "gets its changed packages under names of their own (NAME/V-DIGEST/NAME_V-DIGEST.7z).\n"
    "A file alone in its package (of 64 KiB or more) that changed gets a binary patch from\n"
    "each distinct content it had in the last N listed versions (default 3; 0: none),\n"
    "applied back before it is kept, and kept when it is under half its package's size:\n"
    "component/NAME/P/NAME_P.kvpatch and NAME/P/NAME_P.kvpatch, listed in the manifest.\n"
    "Everything is packed and checked before the tree changes; the manifest follows the\n"
    "packages and the catalogue the manifest.\n"
    "TREE is laid out for a static HTTP server that serves as catalogue, component and\n"
    "package server at once:\n"
    "  bin/versions.xml, bin/manifest/V.xml,\n"
    "  component/NAME/V/NAME_V.7z, NAME/V/NAME_V.7z\n"
    "V becomes the first entry of bin/versions.xml, or a prefetch entry with --prefetch;\n"
    "the versions already listed stay.\n"
    "With --sign-key (a minisign secret key), the catalogue and the manifest are signed\n"
    "beside them (FILE.minisig) with release sequence N, which must be above the one the\n"
    "tree's catalogue was signed with, and not by more than 1000000 without --force-sequence;\n"
    "once a tree is signed, it is never published unsigned, and a version it holds is never\n"
    "published again. The signatures expire at UNIXTIME (seconds since 1970, in the future),\n"
    "or never with --no-expiry. With --expect-public-key (minisign public keys, ';' between\n"
    "them: what the clients were built with), a key that is not one of them is refused.\n"
    "--resign signs the tree as it is again, with a new sequence and expiry.\n"
    "With --authenticode-certificate and --authenticode-key, Korvel.exe is packed signed with\n"
    "Authenticode (osslsigncode, SHA-256) by that certificate chain and unencrypted private\n"
    "key; the source is not changed.\n";

} // namespace

int main(int argc, char **argv)
{
    PublishRequest request;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&](QString *target) {
            if (i + 1 >= argc)
                return false;
            *target = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        auto number = [&](qint64 *target) {
            QString text;
            bool parsed = false;
            if (value(&text))
                *target = text.toLongLong(&parsed);
            return parsed && *target >= 0;
        };
        bool ok = true;
        if (arg == QLatin1String("--version"))
            ok = value(&request.version);
        else if (arg == QLatin1String("--source"))
            ok = value(&request.sourceDir);
        else if (arg == QLatin1String("--output"))
            ok = value(&request.outputTree);
        else if (arg == QLatin1String("--entry-file"))
            ok = value(&request.entryFile);
        else if (arg == QLatin1String("--entry-function"))
            ok = value(&request.entryFunction);
        else if (arg == QLatin1String("--packages"))
            ok = value(&request.packagesFile);
        else if (arg == QLatin1String("--sign-key"))
            ok = value(&request.signKey);
        else if (arg == QLatin1String("--authenticode-certificate"))
            ok = value(&request.authenticodeCertificate);
        else if (arg == QLatin1String("--authenticode-key"))
            ok = value(&request.authenticodeKey);
        else if (arg == QLatin1String("--sign-password-file"))
            ok = value(&request.signPasswordFile);
        else if (arg == QLatin1String("--sequence"))
            ok = number(&request.sequence);
        else if (arg == QLatin1String("--expires"))
            ok = number(&request.expires) && request.expires > 0;
        else if (arg == QLatin1String("--no-expiry"))
            request.noExpiry = true;
        else if (arg == QLatin1String("--force-sequence"))
            request.forceSequence = true;
        else if (arg == QLatin1String("--expect-public-key"))
            ok = value(&request.expectPublicKeys);
        else if (arg == QLatin1String("--resign"))
            request.resign = true;
        else if (arg == QLatin1String("--package-size")) {
            QString size;
            ok = value(&size);
            request.packageSize = size.toLongLong(&ok);
            ok = ok && request.packageSize >= 16;
        } else if (arg == QLatin1String("--patch-depth")) {
            qint64 depth = 0;
            ok = number(&depth) && depth <= 100;
            request.patchDepth = int(depth);
        } else if (arg == QLatin1String("--prefetch"))
            request.prefetch = true;
        else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            fputs(kUsage, stdout);
            return 0;
        } else
            ok = false;
        if (!ok) {
            fprintf(stderr, "korvel-publish: bad argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    const bool signing = !request.signKey.isEmpty();
    if ((!request.resign
         && (request.version.isEmpty() || request.sourceDir.isEmpty() || request.entryFile.isEmpty()
             || request.entryFunction.isEmpty()))
        || request.outputTree.isEmpty() || signing != (request.sequence >= 0) || (request.resign && !signing)
        || (!signing
            && (request.expires > 0 || request.noExpiry || request.forceSequence
                || !request.signPasswordFile.isEmpty() || !request.expectPublicKeys.isEmpty()))) {
        fputs(kUsage, stderr);
        return 2;
    }
    // An expiry is what ends the hold of a replayed catalogue over its clients; going without
    // one must be a decision, not an omission.
    if (signing && (request.expires > 0) == request.noExpiry) {
        fputs("korvel-publish: signing needs --expires UNIXTIME or --no-expiry (without an expiry, a\n"
              "catalogue replayed to a client holds it on that release for ever)\n",
              stderr);
        return 2;
    }
    if (request.resign)
        return resignRelease(request) ? 0 : 1;
    return publishRelease(request) ? 0 : 1;
}
