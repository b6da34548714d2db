// MD5 digests of known malware samples, as 32 lowercase hexadecimal digits.
#pragma once

#include <stddef.h>

extern const char* const KnownDigests[];
extern const size_t KnownDigestCount;
