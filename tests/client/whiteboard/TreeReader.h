#pragma once

#include "whiteboard/PageReader.h"
#include "whiteboard/painterstorage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The reader page files had before: the whole document parsed into a JSON tree, the page read
// out of the tree. Kept as the oracle the page reader is held to.
namespace TreeReader {

// The page's records, scale, colour and journal tag; false when the document is damaged.
bool readPage(const QByteArray& bytes, PainterStorage& storage);
// One journal line, as replay read it.
JournalEntry readEntry(const QByteArray& line);

// A small object such as a picture's header; empty when damaged or no object.
QJsonObject readObject(const QByteArray& bytes);

// The same values, a number being the same whether it is held as an integer or a double.
bool sameValues(const QJsonValue& a, const QJsonValue& b);

// Where two readings of the same bytes differ; empty when they agree exactly.
QString difference(const PainterStorage& a, const PainterStorage& b);
QString difference(const JournalEntry& a, const JournalEntry& b);

} // namespace TreeReader
