// Decides by the MD5 digest of its whole content whether a file is a known sample.
#pragma once

#include <stddef.h>
#include <string>

constexpr size_t ReadPieceBytes = 1024;
constexpr size_t DigestBytes = 16;

// The digest of the file last hashed, as 32 lowercase hexadecimal digits.
// Overwritten for every file: only the main thread hashes.
extern char DigestText[DigestBytes * 2 + 1];

// True when the file's MD5 digest equals one of KnownDigests. Any failure to
// open, read or hash the file is no match; nothing is printed.
bool FileMatchesKnownDigest(const std::wstring& path);
