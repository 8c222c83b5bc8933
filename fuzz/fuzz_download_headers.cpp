// The header lines of a download's HEAD or GET answer, as the downloader reads them.
#include "FuzzSupport.h"

#include "updater/DownloadHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QList<QPair<QByteArray, QByteArray>> headers;
    for (const QByteArray& line : bytes.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon >= 0)
            headers.append({ line.left(colon), line.mid(colon + 1) });
    }
    const DownloadHeaders h = DownloadHeaders::parse(headers);

    fuzz::Require(h.contentLength >= -1, "length is a count or absent");
    fuzz::Require(h.completeLength >= -1, "complete length is a count or absent");
    if (h.hasRange && h.rangeFirst >= 0) {
        fuzz::Require(h.rangeFirst <= h.rangeLast, "range runs forward");
        fuzz::Require(h.completeLength < 0 || h.rangeLast < h.completeLength, "range lies inside the file");
    }
    if (h.hasRange && h.rangeFirst < 0)
        fuzz::Require(h.completeLength >= 0 && h.rangeLast == -1, "a refused range names the size");
    if (!h.hasRange)
        fuzz::Require(
            h.rangeFirst == -1 && h.rangeLast == -1 && h.completeLength == -1, "no range, no figures");
    fuzz::Require(
        !h.validator.contains('\n') && !h.validator.contains('\r'), "validator fits on a header line");
    return 0;
}
