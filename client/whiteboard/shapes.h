#pragma once

#include <QBrush>
#include <QFont>
#include <QList>
#include <QPen>
#include <QPointF>
#include <QString>
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

    virtual std::shared_ptr<GeneralShape> nullShape() = 0;
    virtual QString name() const = 0;
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

    QPen& pen() { return m_pen; }
    QBrush& brush() { return m_brush; }
    const QVector<QPointF>& points() const { return m_points; }
    bool frameInside(QPointF a, QPointF b) const;
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
    std::shared_ptr<GeneralShape> nullShape() override { return {}; }
    QString name() const override { return QStringLiteral("PolylineShape"); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void translate(QPointF offset) override;
};

class CurveShape : public PolylineShape {
public:
    std::shared_ptr<GeneralShape> nullShape() override { return {}; }
    QString name() const override { return QStringLiteral("CurveShape"); }
    void beginAt(QPointF point) override;
    void dragTo(QPointF point) override;
};

class ArrowShape : public PolylineShape {
public:
    std::shared_ptr<GeneralShape> nullShape() override { return {}; }
    QString name() const override { return QStringLiteral("ArrowShape"); }
    void draw(QPainter* painter, float viewScale) override;
};

class RectangleShape : public GeneralShape {
public:
    std::shared_ptr<GeneralShape> nullShape() override { return {}; }
    QString name() const override { return QStringLiteral("RectangleShape"); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void translate(QPointF offset) override;
};

class TextShape : public RectangleShape {
public:
    TextShape();

    std::shared_ptr<GeneralShape> nullShape() override { return {}; }
    QString name() const override { return QStringLiteral("TextShape"); }
    void draw(QPainter* painter, float viewScale) override;
    bool isEmpty() const override;
    float distanceTo(QPointF point) override;
    void updateBounds() override;
    void setScaleX(float sx) override;

    void setText(const QString& text);
    QString& text() { return m_text; }
    void setFontSize(int points);
    QFont& font() { return m_font; }

    static QFont defaultFont(int pointSize);

private:
    QString m_text;
    QFont m_font;
};
