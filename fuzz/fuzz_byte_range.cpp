// A download request's "Range" header, resolved against a file size: the first eight bytes of the
// input are the size, the rest the header's value.
#include "FuzzSupport.h"

#include "app/ByteRange.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < sizeof(int64_t))
        return 0;
    uint64_t raw = 0;
    memcpy(&raw, data, sizeof raw);
    // Small files are where the edge cases are; keep most sizes small, some huge.
    const int64_t fileSize = (raw & 1) ? int64_t(raw >> 1) : int64_t((raw >> 1) % 4096);
    const std::string header(reinterpret_cast<const char*>(data) + sizeof raw, size - sizeof raw);

    const appserver::ByteRange r = appserver::ByteRange::parse(header, fileSize);
    using appserver::ByteRange;
    switch (r.kind) {
    case ByteRange::Whole:
        fuzz::Require(r.first == 0 && r.last == fileSize - 1, "whole file spans every byte");
        break;
    case ByteRange::Partial:
        fuzz::Require(0 <= r.first && r.first <= r.last && r.last < fileSize, "range lies inside the file");
        break;
    case ByteRange::Unsatisfiable:
        break;
    default:
        fuzz::Require(false, "known kind");
    }
    return 0;
}
