#pragma once

#include "shapes.h"

#include <QColor>
#include <QJsonObject>
#include <QPointF>
#include <QString>
#include <QVector>

// One shape as plain values, the way it is written to a page file.
struct ShapeRecord {
    QString name;
    QVector<QPointF> points;
    float rotation = 0;
    QColor penColor;
    int penWidth = 0;
    QColor brushColor;
    int brushStyle = 0;
    QString text;
    int fontSize = 0;
    float scaleX = 1;
    float scaleY = 1;
};

// One page's drawing as a JSON document in the "storage" folder beside the executable.
class PainterStorage {
public:
    float scaleX = 1;
    float scaleY = 1;
    QColor color = Qt::black;
    QVector<ShapeRecord> records;

    bool save(const QString& name);
    bool load(const QString& name);
    void setShapes(const ShapeList& shapes);
    ShapeList getGeneralShape() const;

    // "storage" in the written root (shell/AppFolders.h).
    static QString storagePath();

    static ShapeRecord recordFromShape(GeneralShape& shape);
    static std::shared_ptr<GeneralShape> shapeFromRecord(const ShapeRecord& record);

private:
    QJsonObject writeDocument() const;
    void readDocument(const QJsonObject& object);
    static QJsonObject writeShape(const ShapeRecord& record);
    static ShapeRecord readShape(const QJsonObject& map);
};
