#pragma once
// Reading a small text file the tool's way, on either platform: nothing but a
// regular file is opened, without blocking (a FIFO nobody writes, a device
// named like a file), and no more than a limit is read.

#include <cstddef>
#include <string>

namespace pello {

enum class FileOpenError {
    None,
    CannotOpen,     // the file could not be opened; `reason` says why
    NotRegularFile, // a folder, FIFO, device...: never read
};

struct BoundedFile {
    FileOpenError error = FileOpenError::None;
    std::string reason; // the system's words for CannotOpen
    std::string data;   // at most the limit asked for
};

// The first `limit` bytes of `path` (fewer only at the end of the file).
BoundedFile ReadRegularFile(const std::string& path, size_t limit);

} // namespace pello
