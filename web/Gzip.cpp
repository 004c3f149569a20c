#include "web/Gzip.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace pello::web {

CGzip::CGzip()
{
    // 15 window bits + 16: a gzip header and trailer rather than zlib's.
    if (deflateInit2(&m_zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("no memory for compression");
    }
}

CGzip::~CGzip() { deflateEnd(&m_zs); }

std::string CGzip::Add(const std::string& input, bool last)
{
    std::string out;
    m_zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_zs.avail_in = static_cast<uInt>(input.size());
    char buffer[16384];
    int rc;
    do {
        m_zs.next_out = reinterpret_cast<Bytef*>(buffer);
        m_zs.avail_out = sizeof buffer;
        rc = deflate(&m_zs, last ? Z_FINISH : Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - m_zs.avail_out);
        if (rc == Z_STREAM_ERROR) {
            throw std::runtime_error("compression failed");
        }
    } while (m_zs.avail_out == 0 || (last && rc != Z_STREAM_END));
    return out;
}

bool AcceptsGzip(const std::string& acceptEncoding)
{
    // "gzip", unless its weight is 0 ("gzip;q=0").
    for (size_t at = 0; at <= acceptEncoding.size();) {
        const size_t end = std::min(acceptEncoding.find(',', at), acceptEncoding.size());
        std::string item;
        for (size_t i = at; i < end; ++i) {
            const char c = acceptEncoding[i];
            if (c != ' ' && c != '\t') item += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const size_t semicolon = item.find(';');
        if (item.substr(0, semicolon) == "gzip") {
            const size_t q = item.find("q=", semicolon == std::string::npos ? item.size() : semicolon);
            return q == std::string::npos || std::strtod(item.c_str() + q + 2, nullptr) > 0;
        }
        at = end + 1;
    }
    return false;
}

} // namespace pello::web
