#include "link/TextFile.h"

#include "link/win32/Handle.h"
#include "link/win32/Serial.h"

namespace pello {

BoundedFile ReadRegularFile(const std::string& path, size_t limit)
{
    BoundedFile out;
    // A name such as COM1 or CON leads to a device, not a file: such a handle
    // is given back unread (the open itself takes no byte from a device).
    CWinHandle h(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
        const DWORD error = ::GetLastError();
        // A folder cannot be opened as a file; it is not one.
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            out.error = FileOpenError::NotRegularFile;
            return out;
        }
        out.error = FileOpenError::CannotOpen;
        out.reason = SystemMessage(error);
        return out;
    }
    if (::GetFileType(h.Get()) != FILE_TYPE_DISK) {
        out.error = FileOpenError::NotRegularFile;
        return out;
    }
    out.data.resize(limit);
    size_t got = 0;
    while (got < limit) {
        DWORD n = 0;
        if (!::ReadFile(h.Get(), out.data.data() + got, static_cast<DWORD>(limit - got), &n, nullptr) || n == 0) {
            break;
        }
        got += n;
    }
    out.data.resize(got);
    return out;
}

} // namespace pello
