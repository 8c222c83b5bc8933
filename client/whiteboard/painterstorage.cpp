#include "painterstorage.h"

#include "shell/AppFolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <cmath>
#include <limits>

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
