#include "painterstorage.h"

#include "shell/AppFolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Values read as a variant would convert them: a missing key or another type gives 0.
double number(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toDouble() : value.toVariant().toDouble();
}

int integer(const QJsonObject& object, const QString& key)
{
    const QVariant value = object.value(key).toVariant();
    const double wide = value.toDouble();
    // Out of the int range the conversion is undefined; the far end of the range stands in.
    if (std::isfinite(wide) && std::fabs(wide) >= 2147483647.0)
        return wide < 0 ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return std::isfinite(wide) || value.type() != QVariant::Double ? value.toInt() : 0;
}

int channel(const QJsonObject& object, const QString& key)
{
    return qBound(0, integer(object, key), 255);
}

QColor opaqueColor(const QJsonObject& object)
{
    return QColor(channel(object, QStringLiteral("r")), channel(object, QStringLiteral("g")),
        channel(object, QStringLiteral("b")), 255);
}

// Numbers from a file are brought into what the surface can draw: a float cannot hold 1e308, and a
// huge pen or font makes painting crawl.
constexpr double kMaxCoordinate = 1e6;
constexpr double kMaxScale = 100;
constexpr int kMaxPenWidth = 100;
constexpr int kMinFontSize = 1;
constexpr int kMaxFontSize = 400;

double bounded(double value, double limit, double fallback)
{
    if (!std::isfinite(value))
        return fallback;
    return qBound(-limit, value, limit);
}

float rotationOf(double degrees)
{
    return std::isfinite(degrees) ? static_cast<float>(std::fmod(degrees, 360.0)) : 0.0f;
}

// Reads page files as our writer lays them out, several times faster than the document model:
// events straight into records. Anything else (another type where a number belongs, a key it
// does not know, a key twice, a syntax error) makes it give up, and the document model reads
// the file with its own rules.
class PageReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, PageReader> {
public:
    double scaleX = 0;
    double scaleY = 0;
    int rgb[3] = {};
    QJsonObject journalTag;
    QVector<ShapeRecord> records;

    bool StartObject()
    {
        switch (where()) {
        case Top:
            return push(Root);
        case Root:
            return m_key == kJournal && push(Journal);
        case Shapes:
            m_shape = Raw {};
            return push(Shape);
        case Shape:
            if (m_key == kPen || m_key == kBrush) {
                m_channels[0] = m_channels[1] = m_channels[2] = m_channels[3] = 0;
                return push(m_key == kPen ? Pen : Brush);
            }
            return false;
        case Points:
            m_x = m_y = 0;
            return push(Point);
        default:
            return false;
        }
    }
    bool EndObject(rapidjson::SizeType)
    {
        switch (where()) {
        case Shape:
            finishShape();
            break;
        case Point:
            m_shape.record.points.append(QPointF(
                qBound(-kMaxCoordinate, m_x, kMaxCoordinate), qBound(-kMaxCoordinate, m_y, kMaxCoordinate)));
            break;
        case Pen:
        case Brush: {
            ShapeRecord& r = m_shape.record;
            const QColor color(qBound(0, m_channels[0], 255), qBound(0, m_channels[1], 255),
                qBound(0, m_channels[2], 255), 255);
            if (where() == Pen) {
                r.penColor = color;
                r.penWidth = qBound(0, m_channels[3], kMaxPenWidth);
            } else {
                r.brushColor = color;
                r.brushStyle = m_channels[3];
            }
            break;
        }
        default:
            break;
        }
        m_levels.pop_back();
        m_seen.pop_back();
        return true;
    }
    bool StartArray()
    {
        if (where() == Root && m_key == kShapes)
            return push(Shapes);
        if (where() == Shape && m_key == kPoints)
            return push(Points);
        return false;
    }
    bool EndArray(rapidjson::SizeType)
    {
        m_levels.pop_back();
        m_seen.pop_back();
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        static const char* const names[]
            = { "b", "g", "r", "scaleX", "scaleY", "journal", "shapes", "id", "seq", "name", "rotation",
                  "points", "pen", "brush", "text", "fontSize", "x", "y", "width", "style" };
        m_key = -1;
        for (int k = 0; k < int(sizeof names / sizeof *names); ++k) {
            if (std::strlen(names[k]) == length && std::memcmp(names[k], text, length) == 0) {
                m_key = k;
                break;
            }
        }
        if (m_key < 0 || (m_seen.back() & (1u << m_key)))
            return false;
        m_seen.back() |= 1u << m_key;
        return true;
    }
    bool String(const char* text, rapidjson::SizeType length, bool)
    {
        const QString value = QString::fromUtf8(text, int(length));
        if (where() == Journal && m_key == kId) {
            journalTag.insert(QStringLiteral("id"), value);
            return true;
        }
        if (where() == Shape && (m_key == kName || m_key == kText)) {
            (m_key == kName ? m_shape.record.name : m_shape.record.text) = value;
            m_shape.hasText = m_shape.hasText || m_key == kText;
            return true;
        }
        return false;
    }
    bool Int(int i) { return number(i, true); }
    bool Uint(unsigned u) { return number(u, u <= unsigned(std::numeric_limits<int>::max())); }
    bool Int64(int64_t i) { return number(double(i), false); }
    bool Uint64(uint64_t u) { return number(double(u), false); }
    bool Double(double d) { return number(d, d == std::trunc(d) && std::fabs(d) < 2147483647.0); }
    // Null, true, false and the rest are not in a page file we wrote.
    bool Default() { return false; }

private:
    enum Level { Top, Root, Journal, Shapes, Shape, Points, Point, Pen, Brush };
    enum Key {
        kB,
        kG,
        kR,
        kScaleX,
        kScaleY,
        kJournal,
        kShapes,
        kId,
        kSeq,
        kName,
        kRotation,
        kPoints,
        kPen,
        kBrush,
        kText,
        kFontSize,
        kX,
        kY,
        kWidth,
        kStyle
    };
    struct Raw {
        ShapeRecord record;
        double rotation = 0;
        double scaleX = 0;
        double scaleY = 0;
        int fontSize = 0;
        bool hasText = false;
    };

    Level where() const { return m_levels.back(); }
    bool push(Level level)
    {
        // Only the layout written: shapes at the root, points in shapes.
        m_levels.push_back(level);
        m_seen.push_back(0);
        return true;
    }
    // A number in place; whole is whether it is an int exactly, as the integer fields need.
    bool number(double d, bool whole)
    {
        switch (where()) {
        case Root:
            if (m_key == kScaleX || m_key == kScaleY) {
                (m_key == kScaleX ? scaleX : scaleY) = d;
                return true;
            }
            if (m_key == kB || m_key == kG || m_key == kR) {
                rgb[m_key == kR ? 0 : m_key == kG ? 1 : 2] = int(d);
                return whole;
            }
            return false;
        case Journal:
            if (m_key != kSeq)
                return false;
            journalTag.insert(QStringLiteral("seq"), d);
            return true;
        case Shape:
            switch (m_key) {
            case kRotation:
                m_shape.rotation = d;
                return true;
            case kScaleX:
                m_shape.scaleX = d;
                return true;
            case kScaleY:
                m_shape.scaleY = d;
                return true;
            case kFontSize:
                m_shape.fontSize = int(d);
                return whole;
            default:
                return false;
            }
        case Point:
            (m_key == kX ? m_x : m_y) = d;
            return m_key == kX || m_key == kY;
        case Pen:
        case Brush: {
            const int last = where() == Pen ? kWidth : kStyle;
            const int slot = m_key == kR ? 0 : m_key == kG ? 1 : m_key == kB ? 2 : m_key == last ? 3 : -1;
            if (slot < 0 || !whole)
                return false;
            m_channels[slot] = int(d);
            return true;
        }
        default:
            return false;
        }
    }
    void finishShape()
    {
        ShapeRecord& r = m_shape.record;
        r.rotation = rotationOf(m_shape.rotation);
        r.scaleX = static_cast<float>(bounded(m_shape.scaleX, kMaxScale, 1));
        r.scaleY = static_cast<float>(bounded(m_shape.scaleY, kMaxScale, 1));
        if (!(m_seen.back() & (1u << kPen)))
            r.penColor = QColor(0, 0, 0, 255);
        if (!(m_seen.back() & (1u << kBrush)))
            r.brushColor = QColor(0, 0, 0, 255);
        if (m_shape.hasText)
            r.fontSize = qBound(kMinFontSize, m_shape.fontSize, kMaxFontSize);
        else
            r.text.clear();
        records.append(std::move(r));
    }

    std::vector<Level> m_levels { Top };
    std::vector<quint32> m_seen { 0 };
    int m_key = -1;
    Raw m_shape;
    double m_x = 0;
    double m_y = 0;
    int m_channels[4] = {};
};

} // namespace

QString PainterStorage::storagePath()
{
    return QDir(AppWriteFolder()).absoluteFilePath(QStringLiteral("storage"));
}

bool PainterStorage::save(const QString& name, QByteArray* written)
{
    if (name.isEmpty())
        return false;
    const QDir storage(storagePath());
    qDebug() << storage.absolutePath();
    if (!storage.exists()) {
        if (!QDir().mkpath(storage.absolutePath())) {
            qWarning() << "create file path error :" << storage.absolutePath();
            return false;
        }
    }
    const QString path = storage.absoluteFilePath(name);
    const bool exists = QFile::exists(path);
    qDebug() << path;
    qDebug() << exists;
    if (!exists && records.isEmpty()) {
        qDebug() << "nothing to save!";
        return false;
    }
    // Written beside the old file and renamed over it at the end: a failed or interrupted write
    // leaves the previous drawing whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = QJsonDocument(writeDocument()).toJson();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning() << "write error :" << path << file.errorString();
        return false;
    }
    if (written)
        *written = bytes;
    return true;
}

bool PainterStorage::load(const QString& name)
{
    if (name.isEmpty())
        return false;
    const QDir storage(storagePath());
    if (!storage.exists())
        qWarning() << "file not found";
    QFile file(storage.absoluteFilePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Couldn't open save file.";
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    return parse(bytes, file.fileName());
}

bool PainterStorage::parse(const QByteArray& bytes, const QString& path)
{
    if (parseOurs(bytes))
        return true;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // Loading it as an empty page would let the next save write that over it: keep it aside.
        const QString kept = setAside(path);
        qWarning() << "damaged page file" << path << ":"
                   << (error.error != QJsonParseError::NoError ? error.errorString()
                                                               : QStringLiteral("not an object"))
                   << "; set aside as" << kept << ", the page opens empty";
        records.clear();
        return false;
    }
    readDocument(document.object());
    return true;
}

bool PainterStorage::parseOurs(const QByteArray& bytes)
{
    PageReader reader;
    rapidjson::MemoryStream stream(bytes.constData(), size_t(bytes.size()));
    rapidjson::Reader parser;
    constexpr unsigned kFlags = rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag;
    // A NUL byte reads as the end of the stream: stopping short of the real end is no success.
    if (parser.Parse<kFlags>(stream, reader).IsError() || stream.Tell() != size_t(bytes.size()))
        return false;
    scaleX = static_cast<float>(reader.scaleX);
    scaleY = static_cast<float>(reader.scaleY);
    color = QColor(
        qBound(0, reader.rgb[0], 255), qBound(0, reader.rgb[1], 255), qBound(0, reader.rgb[2], 255), 255);
    journalTag = reader.journalTag;
    records = std::move(reader.records);
    return true;
}

QString PainterStorage::setAside(const QString& path)
{
    QString target = path + QStringLiteral(".damaged");
    for (int n = 2; QFile::exists(target); ++n)
        target = path + QStringLiteral(".damaged%1").arg(n);
    if (!QFile::rename(path, target))
        return QString();
    return target;
}

void PainterStorage::setShapes(const ShapeList& shapes)
{
    for (const auto& shape : shapes) {
        if (shape)
            records.append(recordFromShape(*shape));
    }
}

ShapeList PainterStorage::getGeneralShape() const
{
    qDebug() << "shapes size = " << records.size();
    ShapeList list;
    for (const ShapeRecord& record : records) {
        // A record whose kind is unknown cannot be drawn; the others still load.
        if (auto shape = shapeFromRecord(record))
            list.append(shape);
    }
    qDebug() << "list size = " << list.size();
    return list;
}

ShapeRecord PainterStorage::recordFromShape(GeneralShape& shape)
{
    ShapeRecord record;
    record.name = shape.name();
    record.points = shape.points();
    record.rotation = shape.rotation();
    record.penColor = shape.pen().color();
    record.penWidth = shape.pen().width();
    record.scaleX = shape.scaleX();
    record.scaleY = shape.scaleY();
    record.brushColor = shape.brush().color();
    record.brushStyle = shape.brush().style();
    record.text = shape.textContent();
    if (!record.text.isEmpty())
        record.fontSize = shape.fontPointSize();
    return record;
}

std::shared_ptr<GeneralShape> PainterStorage::shapeFromRecord(const ShapeRecord& record)
{
    std::shared_ptr<GeneralShape> shape = GeneralShape::create(record.name);
    if (!shape)
        return shape;

    // Same bounds as adding the points one by one, measured once instead of per point.
    shape->points() = record.points;
    shape->updateBounds();
    shape->m_scaleX = record.scaleX;
    shape->m_scaleY = record.scaleY;
    shape->m_rotation = record.rotation;
    QPen pen;
    pen.setColor(record.penColor);
    pen.setWidth(record.penWidth);
    shape->setPen(pen);
    QBrush brush;
    brush.setColor(record.brushColor);
    // Only plain fill patterns can be rebuilt from a number; anything else reads as no fill.
    const bool plainStyle = record.brushStyle >= Qt::NoBrush && record.brushStyle <= Qt::DiagCrossPattern;
    brush.setStyle(plainStyle ? static_cast<Qt::BrushStyle>(record.brushStyle) : Qt::NoBrush);
    shape->setBrush(brush);
    shape->setTextContent(record.text, record.fontSize);
    return shape;
}

QJsonObject PainterStorage::writeDocument() const
{
    QJsonObject object;
    object.insert(QStringLiteral("scaleX"), double(scaleX));
    object.insert(QStringLiteral("scaleY"), double(scaleY));
    object.insert(QStringLiteral("r"), color.red());
    object.insert(QStringLiteral("g"), color.green());
    object.insert(QStringLiteral("b"), color.blue());
    QJsonArray shapes;
    for (const ShapeRecord& record : records)
        shapes.append(writeShape(record));
    object.insert(QStringLiteral("shapes"), shapes);
    if (!journalTag.isEmpty())
        object.insert(QStringLiteral("journal"), journalTag);
    return object;
}

QJsonObject PainterStorage::writeShape(const ShapeRecord& record)
{
    QJsonObject object;
    object.insert(QStringLiteral("name"), record.name);
    object.insert(QStringLiteral("rotation"), double(record.rotation));
    object.insert(QStringLiteral("scaleX"), double(record.scaleX));
    object.insert(QStringLiteral("scaleY"), double(record.scaleY));
    // One point object refilled for every point: a fresh object per point costs a third of the
    // save of a busy page.
    const QString x = QStringLiteral("x"), y = QStringLiteral("y");
    QJsonObject point { { x, 0.0 }, { y, 0.0 } };
    QJsonArray points;
    for (const QPointF& p : record.points) {
        point[x] = p.x();
        point[y] = p.y();
        points.append(point);
    }
    object.insert(QStringLiteral("points"), points);
    object.insert(QStringLiteral("pen"),
        QJsonObject { { QStringLiteral("r"), record.penColor.red() },
            { QStringLiteral("g"), record.penColor.green() }, { QStringLiteral("b"), record.penColor.blue() },
            { QStringLiteral("width"), record.penWidth } });
    object.insert(QStringLiteral("brush"),
        QJsonObject { { QStringLiteral("r"), record.brushColor.red() },
            { QStringLiteral("g"), record.brushColor.green() },
            { QStringLiteral("b"), record.brushColor.blue() },
            { QStringLiteral("style"), record.brushStyle } });
    if (record.text.length() > 0) {
        object.insert(QStringLiteral("text"), record.text);
        object.insert(QStringLiteral("fontSize"), record.fontSize);
    }
    return object;
}

void PainterStorage::readDocument(const QJsonObject& object)
{
    scaleX = static_cast<float>(object.value(QStringLiteral("scaleX")).toVariant().toDouble());
    scaleY = static_cast<float>(object.value(QStringLiteral("scaleY")).toVariant().toDouble());
    color = opaqueColor(object);
    journalTag = object.value(QStringLiteral("journal")).toObject();
    records.clear();
    const QJsonArray shapes = object.value(QStringLiteral("shapes")).toArray();
    records.reserve(shapes.size());
    for (const QJsonValue& shape : shapes)
        records.append(readShape(shape.toObject()));
}

ShapeRecord PainterStorage::readShape(const QJsonObject& map)
{
    ShapeRecord record;
    record.name = map.value(QStringLiteral("name")).toVariant().toString();
    record.rotation = rotationOf(number(map, QStringLiteral("rotation")));
    record.scaleX = static_cast<float>(bounded(number(map, QStringLiteral("scaleX")), kMaxScale, 1));
    record.scaleY = static_cast<float>(bounded(number(map, QStringLiteral("scaleY")), kMaxScale, 1));
    const QJsonArray points = map.value(QStringLiteral("points")).toArray();
    record.points.reserve(points.size());
    for (const QJsonValue& point : points) {
        const QJsonObject p = point.toObject();
        const double x = number(p, QStringLiteral("x"));
        const double y = number(p, QStringLiteral("y"));
        // A point that is no number cannot be placed; one far off is brought to the edge.
        if (std::isfinite(x) && std::isfinite(y))
            record.points.append(QPointF(
                qBound(-kMaxCoordinate, x, kMaxCoordinate), qBound(-kMaxCoordinate, y, kMaxCoordinate)));
    }
    const QJsonObject pen = map.value(QStringLiteral("pen")).toObject();
    record.penColor = opaqueColor(pen);
    record.penWidth = qBound(0, integer(pen, QStringLiteral("width")), kMaxPenWidth);
    const QJsonObject brush = map.value(QStringLiteral("brush")).toObject();
    record.brushColor = opaqueColor(brush);
    record.brushStyle = integer(brush, QStringLiteral("style"));
    if (map.contains(QStringLiteral("text"))) {
        record.text = map.value(QStringLiteral("text")).toVariant().toString();
        record.fontSize = qBound(kMinFontSize, integer(map, QStringLiteral("fontSize")), kMaxFontSize);
    }
    return record;
}
