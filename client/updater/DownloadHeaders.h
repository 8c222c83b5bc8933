#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// What the downloader reads from the headers of a HEAD or GET answer. Whatever does not parse
// exactly counts as absent, so a garbled header never passes for a size or a position.
struct DownloadHeaders {
    bool acceptRanges = false; // "Accept-Ranges: bytes", in any case
    qint64 contentLength = -1; // -1: absent or not a plain number
    // The file's identity for If-Range: a strong ETag, else Last-Modified; empty when neither.
    QByteArray validator;
    // "Content-Range: bytes first-last/complete", or "bytes */complete" on a refused range.
    bool hasRange = false;
    qint64 rangeFirst = -1;
    qint64 rangeLast = -1;
    qint64 completeLength = -1; // -1: "*" or absent

    static DownloadHeaders parse(const QList<QPair<QByteArray, QByteArray>>& headers);
    // A decimal count without sign or spaces that fits in 63 bits; -1 for anything else.
    static qint64 parseCount(const QByteArray& text);
};
