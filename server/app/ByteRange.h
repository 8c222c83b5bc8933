#pragma once

#include <cstdint>
#include <string>

namespace appserver {

// One "Range: bytes=..." request resolved against a file of `size` bytes.
struct ByteRange {
    enum Kind {
        Whole, // no usable range: send the whole file with 200
        Partial, // send [first, last] with 206
        Unsatisfiable, // starts past the end: 416
    };
    Kind kind = Whole;
    int64_t first = 0;
    int64_t last = -1;

    // Several ranges, or one that cannot be parsed, fall back to the whole file as HTTP allows;
    // an end past the file (however large its number) is cut to its last byte. Needs no server:
    // any header text is safe to pass.
    static ByteRange parse(const std::string& header, int64_t size);
};

} // namespace appserver
