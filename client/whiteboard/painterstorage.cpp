#include "painterstorage.h"

#include "PageReader.h"
#include "shell/AppFolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

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
    PageBytes bytes;
    if (!bytes.read(file)) {
        qWarning() << "Couldn't open save file." << file.fileName() << file.errorString();
        return false;
    }
    file.close();
    return parse(bytes, file.fileName());
}

bool PainterStorage::parse(const PageBytes& bytes, const QString& path)
{
    PageReader reader;
    QString why;
    if (!reader.readPage(bytes, *this, &why)) {
        // Loading it as an empty page would let the next save write that over it: keep it aside.
        const QString kept = setAside(path);
        qWarning() << "damaged page file" << path << ":" << why << "; set aside as" << kept
                   << ", the page opens empty";
        records.clear();
        return false;
    }
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
