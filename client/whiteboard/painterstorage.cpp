#include "painterstorage.h"

#include "shell/AppFolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

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

} // namespace

QString PainterStorage::storagePath()
{
    return QDir(AppWriteFolder()).absoluteFilePath(QStringLiteral("storage"));
}

bool PainterStorage::save(const QString& name)
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
