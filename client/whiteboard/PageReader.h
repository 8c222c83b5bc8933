#pragma once

#include "painterstorage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <memory>

class QIODevice;

// A file's bytes followed by the zeroed room the JSON reader reads ahead into: the only copy of
// the file that reading it makes.
class PageBytes {
public:
    static constexpr int kPadding = 64;

    // Reads what is left of the device; false when it cannot be read or is too large to hold.
    bool read(QIODevice& device);
    // False when there is no memory for it.
    bool assign(const char* data, int size);
    const char* data() const { return m_buffer ? m_buffer.get() : kNothing; }
    int size() const { return m_size; }
    // Room there is from offset to the end of the buffer, padding included.
    int capacityFrom(int offset) const { return (m_buffer ? m_capacity : kPadding) - offset; }
    // The bytes without the room after them; shares this buffer, so lives no longer than it.
    QByteArray bytes() const { return QByteArray::fromRawData(data(), m_size); }

private:
    // Room for size bytes and the padding, its contents undefined; false when there is no memory.
    bool reserve(int size);
    // The platform's allocation; what it returns is released with free().
    static char* allocate(size_t bytes);
    struct Release {
        void operator()(char* p) const;
    };
    static const char kNothing[kPadding];
    std::unique_ptr<char, Release> m_buffer;
    int m_capacity = 0;
    int m_size = 0;
};

// One line of a page's journal as it is replayed: the entries removed and the shapes added.
struct JournalEntry {
    // Not an object, damaged, or an object without keys: the line counts for nothing.
    bool empty = true;
    double seq = 0;
    QVector<int> removed;
    QVector<QPair<int, ShapeRecord>> added;
};

// Reads page files, journal lines and picture headers straight into what they hold, with the
// rules page files have always been read by: what counts as damaged (any JSON fault anywhere,
// in keys nobody reads too), how numbers of any type convert and where they are clamped, and
// which keys other clients write that are skipped.
class PageReader {
public:
    PageReader();
    ~PageReader();
    PageReader(const PageReader&) = delete;
    PageReader& operator=(const PageReader&) = delete;

    // The page's records, scale, colour and journal tag into storage; false when the file is
    // damaged (why says how), leaving no records.
    bool readPage(const PageBytes& bytes, PainterStorage& storage, QString* why = nullptr);
    // One journal line, bytes [offset, offset + size) of the journal read whole. Without shapes,
    // what is added is checked but not kept.
    JournalEntry readEntry(const PageBytes& journal, int offset, int size, bool shapes = true);
    // A small JSON object, such as a journal's or a picture's header, with its values as the tree
    // gives them; an empty object when it is damaged or no object.
    QJsonObject readObject(const PageBytes& bytes, int offset, int size);

    // Whether this thread keeps what it read a page larger than ordinary with for its next page,
    // until a page of ordinary size comes: switching among heavy pages is then a fifth faster, at
    // a third of the heavy file's size held meanwhile. Off unless set; false lets it go.
    static void keepLargePages(bool keep);

    // Conversions the readers share: a journal sequence number or byte count as stored (a
    // double) to an integer, without overflow for a value that is no count at all.
    static qint64 wholeNumber(double value);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
