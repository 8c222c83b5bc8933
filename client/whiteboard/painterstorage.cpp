#include "painterstorage.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

QString& applicationFolderOverride()
{
    static QString* folder = new QString;
    return *folder;
}

QDir applicationFolder()
{
    const QString& forced = applicationFolderOverride();
    return QDir(forced.isEmpty() ? QCoreApplication::applicationDirPath() : forced);
}

// Values read as a variant would convert them: a missing key or another type gives 0.
double number(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toDouble() : value.toVariant().toDouble();
}

int integer(const QJsonObject& object, const QString& key)
{
    return object.value(key).toVariant().toInt();
}

QColor opaqueColor(const QJsonObject& object)
{
    return QColor(integer(object, QStringLiteral("r")), integer(object, QStringLiteral("g")),
                  integer(object, QStringLiteral("b")), 255);
}

void appendIndent(QByteArray& out, int level)
{
    out.append(4 * level, ' ');
}

void appendMember(QByteArray& out, int level, const char* key)
{
    appendIndent(out, level);
    out += '"';
    out += key;
    out += "\": ";
}

void appendInteger(QByteArray& out, qint64 value)
{
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--p = '-';
    out.append(p, int(end - p));
}

// Numbers as the JSON writer of Qt formats them: whole numbers below 2^53 as integers (-0 as 0),
// other whole numbers below 2^64 in fixed notation, the rest in the shortest exact 'g' form.
void appendNumber(QByteArray& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    const double magnitude = std::fabs(value);
    const bool whole = magnitude == std::floor(magnitude);
    if (whole && magnitude < 9007199254740992.0)
        appendInteger(out, qint64(value));
    else if (whole && magnitude < 18446744073709551616.0)
        out += QByteArray::number(value, 'f', QLocale::FloatingPointShortest);
    else
        out += QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

void appendString(QByteArray& out, const QString& text)
{
    bool plain = true;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u >= 0x80 || u == '"' || u == '\\') {
            plain = false;
            break;
        }
    }
    out += '"';
    if (plain) {
        out += text.toLatin1();
    } else {
        // Escapes, non-ASCII and broken surrogates are rare here: let Qt's writer spell them.
        const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        out.append(quoted.constData() + 2, quoted.size() - 4);
    }
    out += '"';
}

void appendColor(QByteArray& out, int level, const QColor& color, const char* lastKey, int lastValue)
{
    out += "{\n";
    appendMember(out, level + 1, "b");
    appendInteger(out, color.blue());
    out += ",\n";
    appendMember(out, level + 1, "g");
    appendInteger(out, color.green());
    out += ",\n";
    appendMember(out, level + 1, "r");
    appendInteger(out, color.red());
    out += ",\n";
    appendMember(out, level + 1, lastKey);
    appendInteger(out, lastValue);
    out += '\n';
    appendIndent(out, level);
    out += '}';
}

// Reads a page file in the form save() writes straight into a document, without building the
// JSON tree first. Anything outside that form (other keys or types, escapes, duplicate keys,
// numbers in other spellings) makes it give up, and the file then goes through QJsonDocument, so
// both ways read the same values.
class SavedFormReader {
public:
    explicit SavedFormReader(const QByteArray& bytes)
        : m_p(bytes.constData())
        , m_end(bytes.constData() + bytes.size())
    {
    }

    bool read(PainterStorage& doc)
    {
        enum { B = 1, G = 2, R = 4, ScaleX = 8, ScaleY = 16, Shapes = 32, All = 63 };
        int seen = 0;
        int r = 0, g = 0, b = 0;
        double sx = 0, sy = 0;
        const bool ok = object([&](const char* key, int length) {
            const int bit = keyBit(key, length, {"b", "g", "r", "scaleX", "scaleY", "shapes"});
            if (bit == 0 || (seen & bit))
                return false;
            seen |= bit;
            switch (bit) {
            case B: return integer(b);
            case G: return integer(g);
            case R: return integer(r);
            case ScaleX: return number(sx);
            case ScaleY: return number(sy);
            default: return array([&] { return shape(doc.records); });
            }
        });
        skipSpace();
        if (!ok || seen != All || m_p != m_end)
            return false;
        doc.scaleX = static_cast<float>(sx);
        doc.scaleY = static_cast<float>(sy);
        doc.color = QColor(r, g, b, 255);
        return true;
    }

private:
    static int keyBit(const char* key, int length, std::initializer_list<const char*> names)
    {
        int bit = 1;
        for (const char* name : names) {
            if (int(std::strlen(name)) == length && std::memcmp(name, key, size_t(length)) == 0)
                return bit;
            bit <<= 1;
        }
        return 0;
    }

    bool shape(QVector<ShapeRecord>& records)
    {
        enum { Brush = 1, FontSize = 2, Name = 4, Pen = 8, Points = 16, Rotation = 32, ScaleX = 64,
               ScaleY = 128, Text = 256, Required = 253 };
        ShapeRecord record;
        int seen = 0;
        double rotation = 0, sx = 0, sy = 0;
        const bool ok = object([&](const char* key, int length) {
            const int bit = keyBit(key, length,
                                   {"brush", "fontSize", "name", "pen", "points", "rotation", "scaleX",
                                    "scaleY", "text"});
            if (bit == 0 || (seen & bit))
                return false;
            seen |= bit;
            switch (bit) {
            case Brush: return colorObject(record.brushColor, "style", record.brushStyle);
            case FontSize: return integer(record.fontSize);
            case Name: return text(record.name);
            case Pen: return colorObject(record.penColor, "width", record.penWidth);
            case Points: return array([&] { return point(record.points); });
            case Rotation: return number(rotation);
            case ScaleX: return number(sx);
            case ScaleY: return number(sy);
            default: return text(record.text);
            }
        });
        // A text always comes with its size; a size without a text is not read at all.
        if (!ok || (seen & ~(Text | FontSize)) != Required || bool(seen & Text) != bool(seen & FontSize))
            return false;
        record.rotation = static_cast<float>(rotation);
        record.scaleX = static_cast<float>(sx);
        record.scaleY = static_cast<float>(sy);
        records.append(record);
        return true;
    }

    bool point(QVector<QPointF>& points)
    {
        int seen = 0;
        double x = 0, y = 0;
        const bool ok = object([&](const char* key, int length) {
            const int bit = keyBit(key, length, {"x", "y"});
            if (bit == 0 || (seen & bit))
                return false;
            seen |= bit;
            return number(bit == 1 ? x : y);
        });
        if (!ok || seen != 3)
            return false;
        points.append(QPointF(x, y));
        return true;
    }

    bool colorObject(QColor& color, const char* lastKey, int& last)
    {
        int seen = 0;
        int r = 0, g = 0, b = 0;
        const bool ok = object([&](const char* key, int length) {
            const int bit = keyBit(key, length, {"b", "g", "r", lastKey});
            if (bit == 0 || (seen & bit))
                return false;
            seen |= bit;
            return integer(bit == 1 ? b : bit == 2 ? g : bit == 4 ? r : last);
        });
        if (!ok || seen != 15)
            return false;
        color = QColor(r, g, b, 255);
        return true;
    }

    template <typename Member>
    bool object(Member member)
    {
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            const char* key = nullptr;
            int length = 0;
            if (!rawString(key, length) || !take(':') || !member(key, length))
                return false;
        } while (take(','));
        return take('}');
    }

    template <typename Element>
    bool array(Element element)
    {
        if (!take('['))
            return false;
        if (take(']'))
            return true;
        do {
            if (!element())
                return false;
        } while (take(','));
        return take(']');
    }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    bool take(char c)
    {
        skipSpace();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }

    bool rawString(const char*& begin, int& length)
    {
        if (!take('"'))
            return false;
        begin = m_p;
        while (m_p < m_end && *m_p != '"') {
            const uchar c = uchar(*m_p);
            if (c == '\\' || c < 0x20)
                return false;
            ++m_p;
        }
        if (m_p == m_end)
            return false;
        length = int(m_p - begin);
        ++m_p;
        return true;
    }

    bool text(QString& out)
    {
        const char* begin = nullptr;
        int length = 0;
        if (!rawString(begin, length))
            return false;
        out = QString::fromUtf8(begin, length);
        // Malformed UTF-8 is the general parser's to judge.
        for (int i = 0; i < length; ++i) {
            if (uchar(begin[i]) >= 0x80)
                return out.toUtf8() == QByteArray::fromRawData(begin, length);
        }
        return true;
    }

    // The plain JSON number forms; a whole number is read as the integer it is, as Qt does.
    bool numberText(const char*& start, const char*& stop, bool& whole)
    {
        skipSpace();
        const char* q = m_p;
        if (q < m_end && *q == '-')
            ++q;
        const char* digits = q;
        if (q < m_end && *q == '0')
            ++q;
        else
            while (q < m_end && *q >= '0' && *q <= '9')
                ++q;
        if (q == digits)
            return false;
        whole = true;
        if (q < m_end && *q == '.') {
            whole = false;
            const char* fraction = ++q;
            while (q < m_end && *q >= '0' && *q <= '9')
                ++q;
            if (q == fraction)
                return false;
        }
        if (q < m_end && (*q == 'e' || *q == 'E')) {
            whole = false;
            ++q;
            if (q < m_end && (*q == '+' || *q == '-'))
                ++q;
            const char* exponent = q;
            while (q < m_end && *q >= '0' && *q <= '9')
                ++q;
            if (q == exponent)
                return false;
        }
        if (q == m_end || (whole && q - digits > 18))
            return false;
        start = m_p;
        stop = q;
        m_p = q;
        return true;
    }

    static qint64 wholeValue(const char* start, const char* stop)
    {
        const bool negative = *start == '-';
        qint64 n = 0;
        for (const char* d = start + (negative ? 1 : 0); d < stop; ++d)
            n = n * 10 + (*d - '0');
        return negative ? -n : n;
    }

    bool number(double& value)
    {
        const char* start = nullptr;
        const char* stop = nullptr;
        bool whole = false;
        if (!numberText(start, stop, whole))
            return false;
        if (whole) {
            value = double(wholeValue(start, stop));
            return true;
        }
        const auto result = std::from_chars(start, stop, value);
        // Qt keeps a whole-valued number as an integer, which has no negative zero.
        if (value == 0)
            value = 0;
        return result.ec == std::errc() && result.ptr == stop;
    }

    bool integer(int& value)
    {
        const char* start = nullptr;
        const char* stop = nullptr;
        bool whole = false;
        if (!numberText(start, stop, whole) || !whole || stop - start > 10)
            return false;
        const qint64 n = wholeValue(start, stop);
        if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
            return false;
        value = int(n);
        return true;
    }

    const char* m_p;
    const char* m_end;
};

} // namespace

void PainterStorage::setApplicationFolder(const QString& folder)
{
    applicationFolderOverride() = folder;
}

QString PainterStorage::storagePath()
{
    return applicationFolder().absoluteFilePath(QStringLiteral("storage"));
}

bool PainterStorage::save(const QString& name)
{
    if (name.isEmpty())
        return false;
    const QDir storage(storagePath());
    qDebug() << storage.absolutePath();
    if (!storage.exists()) {
        if (!applicationFolder().mkdir(QStringLiteral("storage"))) {
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
    qsizetype pointCount = 0;
    for (const ShapeRecord& record : records)
        pointCount += record.points.size();
    QByteArray bytes;
    bytes.reserve(int(std::min<qsizetype>(256 + records.size() * 512 + pointCount * 72, 1 << 30)));
    writeDocument(bytes);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning() << "write error :" << path << file.errorString();
        return false;
    }
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
    PainterStorage saved;
    if (SavedFormReader(bytes).read(saved)) {
        scaleX = saved.scaleX;
        scaleY = saved.scaleY;
        color = saved.color;
        records = std::move(saved.records);
        return true;
    }
    readDocument(QJsonDocument::fromJson(bytes).object());
    return true;
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
    if (record.name == QLatin1String("TextShape")) {
        auto& text = static_cast<TextShape&>(shape);
        record.text = text.text();
        record.fontSize = text.font().pointSize();
    }
    return record;
}

std::shared_ptr<GeneralShape> PainterStorage::shapeFromRecord(const ShapeRecord& record)
{
    std::shared_ptr<GeneralShape> shape;
    if (record.name == QLatin1String("CurveShape"))
        shape = std::make_shared<CurveShape>();
    else if (record.name == QLatin1String("RectangleShape"))
        shape = std::make_shared<RectangleShape>();
    else if (record.name == QLatin1String("TextShape"))
        shape = std::make_shared<TextShape>();
    else if (record.name == QLatin1String("ArrowShape"))
        shape = std::make_shared<ArrowShape>();
    else
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
    if (record.name == QLatin1String("TextShape")) {
        auto* text = static_cast<TextShape*>(shape.get());
        text->setText(record.text);
        text->setFontSize(record.fontSize);
    }
    return shape;
}

// The page file is written straight into bytes, byte for byte what QJsonDocument::toJson() gives
// for the same object (keys in ascending order, four spaces per level): building a QJsonObject of
// every point first costs more than the rest of the save together.
void PainterStorage::writeDocument(QByteArray& out) const
{
    out += "{\n";
    appendMember(out, 1, "b");
    appendInteger(out, color.blue());
    out += ",\n";
    appendMember(out, 1, "g");
    appendInteger(out, color.green());
    out += ",\n";
    appendMember(out, 1, "r");
    appendInteger(out, color.red());
    out += ",\n";
    appendMember(out, 1, "scaleX");
    appendNumber(out, double(scaleX));
    out += ",\n";
    appendMember(out, 1, "scaleY");
    appendNumber(out, double(scaleY));
    out += ",\n";
    appendMember(out, 1, "shapes");
    out += "[\n";
    for (int i = 0; i < records.size(); ++i) {
        if (i > 0)
            out += ",\n";
        appendIndent(out, 2);
        writeShape(out, records[i]);
    }
    if (!records.isEmpty())
        out += '\n';
    appendIndent(out, 1);
    out += "]\n}\n";
}

void PainterStorage::writeShape(QByteArray& out, const ShapeRecord& record)
{
    const bool withText = record.text.length() > 0;
    out += "{\n";
    appendMember(out, 3, "brush");
    appendColor(out, 3, record.brushColor, "style", record.brushStyle);
    out += ",\n";
    if (withText) {
        appendMember(out, 3, "fontSize");
        appendInteger(out, record.fontSize);
        out += ",\n";
    }
    appendMember(out, 3, "name");
    appendString(out, record.name);
    out += ",\n";
    appendMember(out, 3, "pen");
    appendColor(out, 3, record.penColor, "width", record.penWidth);
    out += ",\n";
    appendMember(out, 3, "points");
    out += "[\n";
    for (int i = 0; i < record.points.size(); ++i) {
        if (i > 0)
            out += ",\n";
        appendIndent(out, 4);
        out += "{\n";
        appendMember(out, 5, "x");
        appendNumber(out, record.points[i].x());
        out += ",\n";
        appendMember(out, 5, "y");
        appendNumber(out, record.points[i].y());
        out += '\n';
        appendIndent(out, 4);
        out += '}';
    }
    if (!record.points.isEmpty())
        out += '\n';
    appendIndent(out, 3);
    out += "],\n";
    appendMember(out, 3, "rotation");
    appendNumber(out, double(record.rotation));
    out += ",\n";
    appendMember(out, 3, "scaleX");
    appendNumber(out, double(record.scaleX));
    out += ",\n";
    appendMember(out, 3, "scaleY");
    appendNumber(out, double(record.scaleY));
    if (withText) {
        out += ",\n";
        appendMember(out, 3, "text");
        appendString(out, record.text);
    }
    out += '\n';
    appendIndent(out, 2);
    out += '}';
}

void PainterStorage::readDocument(const QJsonObject& object)
{
    scaleX = static_cast<float>(object.value(QStringLiteral("scaleX")).toVariant().toDouble());
    scaleY = static_cast<float>(object.value(QStringLiteral("scaleY")).toVariant().toDouble());
    color = opaqueColor(object);
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
    record.rotation = static_cast<float>(number(map, QStringLiteral("rotation")));
    record.scaleX = static_cast<float>(number(map, QStringLiteral("scaleX")));
    record.scaleY = static_cast<float>(number(map, QStringLiteral("scaleY")));
    const QJsonArray points = map.value(QStringLiteral("points")).toArray();
    record.points.reserve(points.size());
    for (const QJsonValue& point : points) {
        const QJsonObject p = point.toObject();
        record.points.append(QPointF(number(p, QStringLiteral("x")), number(p, QStringLiteral("y"))));
    }
    const QJsonObject pen = map.value(QStringLiteral("pen")).toObject();
    record.penColor = opaqueColor(pen);
    record.penWidth = integer(pen, QStringLiteral("width"));
    const QJsonObject brush = map.value(QStringLiteral("brush")).toObject();
    record.brushColor = opaqueColor(brush);
    record.brushStyle = integer(brush, QStringLiteral("style"));
    if (map.contains(QStringLiteral("text"))) {
        record.text = map.value(QStringLiteral("text")).toVariant().toString();
        record.fontSize = integer(map, QStringLiteral("fontSize"));
    }
    return record;
}
