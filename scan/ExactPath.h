// Plain Win32 paths are normalised before use: trailing blanks and dots are cut
// from the last component and the length is limited to 260 units. A file the
// directory listing returns as "sample.bin " or "sample.bin." would then be
// opened as "sample.bin" (another file, or none at all). The "\\?\" form
// skips that normalisation and names exactly the entry the listing returned.
#pragma once

#include <string>

// "\\?\" + path for a drive-absolute path ("C:" or "C:\..."); any other path as
// it is. The text lives in one buffer reused from call to call, so the walk's
// per-file open allocates nothing for it: use it at once, before the next call.
// Only the main thread walks.
const wchar_t* ExactPath(const std::wstring& path);
