#pragma once

#include <QString>
#include <QStringList>

// What one run of the publisher is asked to do.
struct PublishRequest {
    QString version;    // the release's name; also its directory name on the clients
    QString sourceDir;  // laid out as the installed version directory
    QString outputTree; // the server tree, created or updated
    QString entryFile;  // relative to sourceDir
    QString entryFunction;
    bool prefetch = false; // listed as a prefetch entry rather than as the new default
    QString packagesFile;  // optional grouping of the source's entries into packages
    // Bytes of files a package may hold before it is cut into pieces (a larger single file
    // travels alone); pieces hold about a quarter of it.
    qint64 packageSize = 4 << 20;
    // How many of the versions the catalogue lists (newest first) a changed file that travels
    // alone in its package gets a binary patch from; 0 makes none.
    int patchDepth = 3;
    // Signing (tools/publish/signing.h): a minisign secret key, the file holding its password
    // (none: the key is not encrypted), the release sequence (above the tree's, by at most
    // MaxSequenceStep unless forceSequence) and an expiry (seconds since 1970, in the future), or
    // noExpiry to sign without one. expectPublicKeys: when not empty, the minisign public keys
    // (';'-separated) the clients trust, one of which must be the signing key's.
    QString signKey;
    QString signPasswordFile;
    qint64 sequence = -1;
    qint64 expires = 0;
    bool noExpiry = false;
    bool forceSequence = false;
    QString expectPublicKeys;
    // Re-sign the tree as it is (catalogue and listed manifests, with the new sequence and
    // expiry) instead of publishing a version: version, source and entry are not used.
    bool resign = false;
    // Both set: the launcher is signed with Authenticode (osslsigncode) with this certificate
    // chain and private key (PEM files) before it is packed; the source stays as it is.
    QString authenticodeCertificate;
    QString authenticodeKey;
};

// How far above the tree's sequence a new one may go without forceSequence: clients keep the
// highest sequence each key signed, so one typed with a digit too many would shut them out of
// every later release signed with that key.
constexpr qint64 MaxSequenceStep = 1000000;

// Publishes the release: packs the source into 7z packages with 7zz, writes the manifest and
// updates the catalogue in outputTree. Returns false after printing the reason to stderr.
// The same request over the same source gives the same bytes.
bool publishRelease(const PublishRequest &request);

// Signs outputTree again as it stands: every listed version's manifest and the catalogue get
// new signatures with the request's sequence and expiry; no byte of a manifest changes. How a
// signed tree whose expiry nears stays valid without a new version. False, after printing the
// reason, when the tree has no catalogue or a listed manifest is missing.
bool resignRelease(const PublishRequest &request);
