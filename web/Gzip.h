#pragma once
// gzip at zlib's default level (6): most of the gain for a small part of
// the time the slowest levels take, in a compressor's fixed memory.

#include <memory>
#include <string>

#include <zlib.h>

namespace pello::web {

class CGzip {
public:
    CGzip();
    ~CGzip();
    CGzip(const CGzip&) = delete;
    CGzip& operator=(const CGzip&) = delete;
    // The compressed bytes for `input`; with `last`, the stream's end too.
    std::string Add(const std::string& input, bool last);

private:
    z_stream m_zs {};
};

// Whether an Accept-Encoding header takes gzip.
bool AcceptsGzip(const std::string& acceptEncoding);

} // namespace pello::web
