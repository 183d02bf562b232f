#pragma once

#include <algorithm>

// The time limits of a transfer, and the pieces it moves its body in, in one place. libcurl alone would wait
// for ever on a server that accepts and then stops sending, and an installer that freezes looks dead to the
// user.
struct TransferLimits {
    // Giving up on a connection that is not set up after 15 s: a server that slow is as good as
    // absent, and libcurl's own default (300 s) leaves the user staring at a frozen window.
    long connectTimeoutMs = 15000;
    // A transfer that moves fewer than lowSpeedBytesPerSecond bytes per second for
    // lowSpeedSeconds in a row is aborted. 1 byte/s over 30 s cuts only a server that has
    // stopped sending, never a slow but living line; a whole package may take as long as it
    // needs, so there is deliberately no overall time limit.
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 30; // libcurl counts whole seconds
    // A server can stay above that floor and still never finish (30 bytes every 30 s keeps a
    // transfer alive for months, and a job holds the machine-wide guard meanwhile). A body may
    // take averageGraceMs plus what its size takes at minAverageBytesPerSecond (its announced
    // size, or what came so far when none was announced); slower, the transfer ends with code
    // 28 and the caller can try elsewhere. 4 KiB/s is far below any line that installs a
    // release at all. 0 turns the rule off.
    long minAverageBytesPerSecond = 4096;
    long averageGraceMs = 30000;
    // The whole transfer, waiting included, ends after this (code 28); 0: no such limit. Only
    // for files of a few kilobytes (forSmallFile): a package may take as long as its size needs.
    long overallTimeoutMs = 0;
    // Packages fetched at once by one job, each over a connection of its own that is kept
    // alive for the next: one transfer at a time leaves a line with a long round trip mostly
    // idle (a request round trip and a slow start per package), and under random loss a
    // single flow cannot fill it at all: at 0.05 % loss and 60 ms one holds about 10 Mbit/s.
    // Each connection still waits a round trip for its next package's first byte, and cuts its
    // window after a loss; the more connections share the line, the less of it either takes.
    // Installs of 107 MiB on a 100 Mbit/s line with a 60 ms round trip: ten took 1.10 × what the
    // bytes take in every round, eight 1.11–1.17 × from run to run, six 1.26 ×; with 0.05 % loss
    // ten took 1.13 ×, eight 1.24 ×. Where both mirrors answer, that is five per server.
    int concurrentTransfers = 10;
    // At the end of a job a transfer with nothing left to start takes over the end of another
    // one, only once that one has run this long and would need at least this much longer at its
    // rate (and twice the helper's round trip): on a fast line nothing is.
    long takeOverAfterMs = 50;
    // The bytes libcurl receives at a time, and the size of each of the three blocks a package's
    // digests are taken from, per transfer. libcurl's default (16 KiB) costs several system calls
    // per 100 KiB on a fast line; its largest, 512 KiB, lets one package stream into its file in
    // big writes. Transfers that run side by side share the line, so each gets smaller pieces
    // (sharedAmong) and together they hold about what one took: at 512 KiB six of them added
    // 12 MiB to the install's peak memory.
    int pieceBytes = 512 * 1024;

    // These limits for one of count transfers that run at once: pieces cut to a share of the
    // same memory, never below 64 KiB.
    TransferLimits sharedAmong(int count) const
    {
        TransferLimits shared = *this;
        if (count > 1)
            shared.pieceBytes = std::max(64 * 1024, 4 * pieceBytes / (3 * count) / 1024 * 1024);
        return shared;
    }
    // The deadline of the catalogue, its signatures and the manifests: a minute is a hundred
    // times what they take on a slow line.
    long smallFileDeadlineMs = 60000;
    // libcurl of this era follows redirects without end by default: a server that redirects to
    // itself would keep the installer busy for ever. Real chains are one or two hops.
    long maxRedirects = 10;
    // The header block of one response may hold this many lines and bytes (status line and the
    // empty line that ends it included); a response with more fails the transfer. Every line
    // is kept (responseHeaders), and a server's answer with a few dozen is already a large one.
    int maxHeaderLines = 100;
    int maxHeaderBytes = 32 * 1024;

    // These limits with the small-file deadline as overall time limit.
    TransferLimits forSmallFile() const
    {
        TransferLimits limits = *this;
        limits.overallTimeoutMs = smallFileDeadlineMs;
        return limits;
    }
};
