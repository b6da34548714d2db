#include "scan/ExactPath.h"

std::wstring ExactPath(const std::wstring& path) {
    const bool driveAbsolute =
        path.size() >= 2 && path[1] == L':' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        (path.size() == 2 || path[2] == L'\\');
    return driveAbsolute ? L"\\\\?\\" + path : path;
}
