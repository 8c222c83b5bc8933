#include "ByteRange.h"

#include <cctype>
#include <limits>

namespace appserver {

namespace {
    // Parses the digits in s[from, to); false when empty or not all digits. A number too large to
    // hold is still a number: it is taken as the largest there is, past any file's end.
    bool parseNumber(const std::string& s, size_t from, size_t to, int64_t* out)
    {
        if (from >= to)
            return false;
        int64_t v = 0;
        for (size_t i = from; i < to; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(s[i])))
                return false;
            if (v > (std::numeric_limits<int64_t>::max() - 9) / 10)
                v = std::numeric_limits<int64_t>::max();
            else
                v = v * 10 + (s[i] - '0');
        }
        *out = v;
        return true;
    }
} // namespace

ByteRange ByteRange::parse(const std::string& header, int64_t size)
{
    ByteRange whole;
    whole.last = size - 1;
    static const std::string prefix = "bytes=";
    size_t begin = header.find_first_not_of(" \t");
    if (begin == std::string::npos || header.compare(begin, prefix.size(), prefix) != 0)
        return whole;
    begin += prefix.size();
    size_t end = header.find_last_not_of(" \t");
    end = end == std::string::npos ? begin : end + 1;
    if (header.find(',', begin) != std::string::npos)
        return whole;
    const size_t dash = header.find('-', begin);
    if (dash == std::string::npos || dash >= end)
        return whole;

    ByteRange r;
    r.kind = Partial;
    int64_t a = 0;
    int64_t b = 0;
    if (dash == begin) { // "-n": the last n bytes
        if (!parseNumber(header, dash + 1, end, &b))
            return whole;
        if (b == 0 || size == 0) {
            r.kind = Unsatisfiable;
            return r;
        }
        r.first = b >= size ? 0 : size - b;
        r.last = size - 1;
        return r;
    }
    if (!parseNumber(header, begin, dash, &a))
        return whole;
    if (dash + 1 == end) {
        b = size - 1;
    } else {
        if (!parseNumber(header, dash + 1, end, &b))
            return whole;
        if (b < a)
            return whole;
    }
    if (a >= size) {
        r.kind = Unsatisfiable;
        return r;
    }
    r.first = a;
    r.last = b >= size ? size - 1 : b;
    return r;
}

} // namespace appserver
