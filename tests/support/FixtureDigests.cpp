// The digest table of the test build: stand-ins for known samples.
#include "scan/KnownDigests.h"

const char* const KnownDigests[] = {
    // MD5 of tests/fixtures/sample-a.bin.
    "34249b2caf9ac829ae49a2d7765928df",
    // MD5 of tests/fixtures/sample-b.bin, in capitals: a digest is always
    // written in lowercase, so this entry must never match.
    "0AB94939FB17F41B2864B2A493B827FC",
};

const size_t KnownDigestCount = sizeof(KnownDigests) / sizeof(KnownDigests[0]);
