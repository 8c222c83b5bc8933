#pragma once

#include "shapes.h"

#include <QColor>
#include <QJsonObject>
#include <QPointF>
#include <QString>
#include <QVector>

class PageBytes;

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
    // Which journal entries the file already holds (written as "journal"; readers that do not
    // know it skip it). Empty when the file is not ours or has no journal.
    QJsonObject journalTag;

    // The bytes written are handed back through written, when given.
    bool save(const QString& name, QByteArray* written = nullptr);
    bool load(const QString& name);
    // The document from a file's bytes; a damaged file at path is set aside and gives false.
    bool parse(const PageBytes& bytes, const QString& path);
    void setShapes(const ShapeList& shapes);
    ShapeList getGeneralShape() const;

    // "storage" in the written root (shell/AppFolders.h).
    static QString storagePath();

    // Renames a page file that cannot be read out of the way; returns the new path, empty on failure.
    static QString setAside(const QString& path);

    static ShapeRecord recordFromShape(GeneralShape& shape);
    static std::shared_ptr<GeneralShape> shapeFromRecord(const ShapeRecord& record);

    static QJsonObject writeShape(const ShapeRecord& record);

private:
    QJsonObject writeDocument() const;
};
