#include "scan/ExactPath.h"

namespace {

std::wstring ExactPathBuffer;

bool IsDriveAbsolute(const std::wstring& path) {
    return path.size() >= 2 && path[1] == L':' &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           (path.size() == 2 || path[2] == L'\\');
}

} // namespace

const wchar_t* ExactPath(const std::wstring& path) {
    ExactPathBuffer.assign(IsDriveAbsolute(path) ? L"\\\\?\\" : L"");
    ExactPathBuffer.append(path);
    return ExactPathBuffer.c_str();
}
