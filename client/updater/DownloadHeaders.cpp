#include "DownloadHeaders.h"

#include <limits>

namespace {

bool IsHeader(const QByteArray& name, const char* wanted)
{
    return name.trimmed().compare(wanted, Qt::CaseInsensitive) == 0;
}

// "first-last/complete" or "*/complete"; the unit has been taken off already.
bool ParseRange(const QByteArray& spec, DownloadHeaders* out)
{
    const int slash = spec.indexOf('/');
    if (slash < 0)
        return false;
    const QByteArray span = spec.left(slash);
    const QByteArray complete = spec.mid(slash + 1);
    qint64 completeLength = -1;
    if (complete != "*" && (completeLength = DownloadHeaders::parseCount(complete)) < 0)
        return false;
    if (span == "*") {
        if (completeLength < 0)
            return false;
        out->completeLength = completeLength;
        out->hasRange = true;
        return true;
    }
    const int dash = span.indexOf('-');
    if (dash < 0)
        return false;
    const qint64 first = DownloadHeaders::parseCount(span.left(dash));
    const qint64 last = DownloadHeaders::parseCount(span.mid(dash + 1));
    if (first < 0 || last < first || (completeLength >= 0 && last >= completeLength))
        return false;
    out->rangeFirst = first;
    out->rangeLast = last;
    out->completeLength = completeLength;
    out->hasRange = true;
    return true;
}

} // namespace

qint64 DownloadHeaders::parseCount(const QByteArray& text)
{
    if (text.isEmpty())
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

DownloadHeaders DownloadHeaders::parse(const QList<QPair<QByteArray, QByteArray>>& headers)
{
    DownloadHeaders out;
    QByteArray etag;
    QByteArray lastModified;
    for (const auto& header : headers) {
        const QByteArray value = header.second.trimmed();
        if (IsHeader(header.first, "Accept-Ranges")) {
            out.acceptRanges = value.compare("bytes", Qt::CaseInsensitive) == 0;
        } else if (IsHeader(header.first, "Content-Length")) {
            out.contentLength = parseCount(value);
        } else if (IsHeader(header.first, "ETag")) {
            // A weak tag only says the content is equivalent, not that its bytes are the same.
            const bool strong = value.size() >= 2 && value.startsWith('"') && value.endsWith('"')
                && value.indexOf('"', 1) == value.size() - 1;
            etag = strong ? value : QByteArray();
        } else if (IsHeader(header.first, "Last-Modified")) {
            lastModified = value;
        } else if (IsHeader(header.first, "Content-Range")) {
            out.hasRange = false;
            out.rangeFirst = out.rangeLast = out.completeLength = -1;
            if (value.startsWith("bytes ") && !ParseRange(value.mid(6).trimmed(), &out))
                out.hasRange = false;
        }
    }
    // A header value travels back in If-Range: it may hold no line break.
    for (QByteArray* v : { &etag, &lastModified })
        if (v->contains('\r') || v->contains('\n') || v->contains('\0'))
            v->clear();
    out.validator = !etag.isEmpty() ? etag : lastModified;
    return out;
}
