#pragma once

#include <QBrush>
#include <QFont>
#include <QList>
#include <QPen>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QPainter;
class PainterStorage;

// Untransformed bounding box of a shape's points.
struct ShapeBounds {
    float left = 0;
    float top = 0;
    float right = 0;
    float bottom = 0;
};

// Axis-aligned box of the scaled and rotated bounds; band selection tests against it.
struct ShapeFrame {
    float minY = 0;
    float maxY = 0;
    float minX = 0;
    float maxX = 0;
};

class GeneralShape {
public:
    GeneralShape() = default;
    virtual ~GeneralShape() = default;

    // One factory for every kind, by the name the page file stores; an unknown name gives none.
    static std::shared_ptr<GeneralShape> create(const QString& name);
    static QStringList kinds();

    virtual QString name() const = 0;
    // A copy that shares the point data until either side changes it.
    virtual std::shared_ptr<GeneralShape> clone() const = 0;
    virtual QString pointsToString() const;
    virtual void pointsFromString(const QString& text);
    virtual void draw(QPainter* painter, float viewScale) = 0;
    virtual void setPen(const QPen& pen);
    virtual void setBrush(const QBrush& brush);
    virtual void addPoint(QPointF point);
    virtual QVector<QPointF>& points();
    virtual void removeLastPoint();
    virtual void setScale(float s);
    virtual void setScaleX(float sx);
    virtual float scaleX() const;
    virtual void setScaleY(float sy);
    virtual float scaleY() const;
    virtual void setRotation(float degrees);
    virtual float rotation() const;
    virtual bool isEmpty() const;
    virtual void beginAt(QPointF point);
    virtual void dragTo(QPointF point);
    virtual void endAt(QPointF point);
    virtual float distanceTo(QPointF point) = 0;
    virtual void scaleBy(float sx, float sy);
    virtual void scaleBy(float s);
    virtual void updateBounds() = 0;
    virtual void updateFrame();
    virtual void translate(QPointF offset) = 0;

    // What only a text carries; other kinds have no words and ignore them.
    virtual QString textContent() const { return QString(); }
    virtual int fontPointSize() const { return 0; }
    virtual void setTextContent(const QString& text, int pointSize);
    // Generous page area the shape may paint into, pen included; decides what may stay unpainted.
    virtual QRectF paintedExtent() const;

    QPen& pen() { return m_pen; }
    QBrush& brush() { return m_brush; }
    const QVector<QPointF>& points() const { return m_points; }
    bool frameInside(QPointF a, QPointF b) const;
    // Whether the other shape is this one, or draws and saves the same (read again from its file).
    bool sameAs(const GeneralShape& other) const;
    const ShapeBounds& pointBounds() const { return m_pointBounds; }
    const ShapeFrame& frame() const { return m_frame; }
    // Centre of the point bounds: the pivot of scale and rotation.
    QPointF center() const;

    static float segmentDistance(QPointF q, QPointF a, QPointF b);

protected:
    // The loader writes scale and rotation straight into the fields, without a frame update.
    friend class PainterStorage;

    float m_rotation = 0;
    float m_scaleX = 1;
    float m_scaleY = 1;
    ShapeBounds m_pointBounds;
    ShapeFrame m_frame;
    QVector<QPointF> m_points;
    QPen m_pen;
    QBrush m_brush;
};

using ShapeList = QList<std::shared_ptr<GeneralShape>>;

class PolylineShape : public GeneralShape {
public:
    QString name() const override { return QStringLiteral("PolylineShape"); }
    std::shared_ptr<GeneralShape> clone() const override { return std::make_shared<PolylineShape>(*this); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void translate(QPointF offset) override;
};

class CurveShape : public PolylineShape {
public:
    QString name() const override { return QStringLiteral("CurveShape"); }
    std::shared_ptr<GeneralShape> clone() const override { return std::make_shared<CurveShape>(*this); }
    void beginAt(QPointF point) override;
    void dragTo(QPointF point) override;
};

class ArrowShape : public PolylineShape {
public:
    QRectF paintedExtent() const override;
    QString name() const override { return QStringLiteral("ArrowShape"); }
    std::shared_ptr<GeneralShape> clone() const override { return std::make_shared<ArrowShape>(*this); }
    void draw(QPainter* painter, float viewScale) override;
};

class RectangleShape : public GeneralShape {
public:
    QString name() const override { return QStringLiteral("RectangleShape"); }
    std::shared_ptr<GeneralShape> clone() const override { return std::make_shared<RectangleShape>(*this); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void translate(QPointF offset) override;
};

class TextShape : public RectangleShape {
public:
    TextShape();

    QString name() const override { return QStringLiteral("TextShape"); }
    std::shared_ptr<GeneralShape> clone() const override { return std::make_shared<TextShape>(*this); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void setScaleX(float sx) override;
    QString textContent() const override { return m_text; }
    int fontPointSize() const override { return m_font.pointSize(); }
    void setTextContent(const QString& text, int pointSize) override;
    QRectF paintedExtent() const override;

    void setText(const QString& text);
    QString& text() { return m_text; }
    void setFontSize(int points);
    QFont& font() { return m_font; }

    static QFont defaultFont(int pointSize);

private:
    QString m_text;
    QFont m_font;
};
