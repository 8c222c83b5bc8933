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
#include <cmath>

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
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    readDocument(document.object());
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
