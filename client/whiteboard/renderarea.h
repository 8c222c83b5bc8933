#pragma once

#include "InstrumentType.h"
#include "shapes.h"

#include <QImage>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

#include <QLineEdit>

// The transparent surface laid over a slide on which the teacher draws.
class RenderArea : public QWidget {
    Q_OBJECT
public:
    RenderArea(QWidget* parent = nullptr);
    ~RenderArea() override;

    void setInstrumentType(InstrumentType type);
    InstrumentType instrumentType() const { return m_instrument; }
    void clearDrawing();
    void setFileName(const QString& name);
    QString fileName() const;
    void saveDrawing();
    void load();
    const QList<std::shared_ptr<GeneralShape>>& shapes() const;
    const QList<std::shared_ptr<GeneralShape>>& pickedShapes() const { return m_pickedShapes; }
    QLineEdit* textEditor() const { return m_textEditor; }

    QSize sizeHint() const override;
    void setPreferredSize(const QSize& size);

    ShapeList getPickShapes(QPointF a, QPointF b);
    ShapeList shapeAt(QPointF p);
    bool eraseAt(QPointF p);
    void removeShapes(const ShapeList& list);

    // Finished shapes are kept in a cached layer; turning it off paints every shape each time.
    void setLayerCacheEnabled(bool enabled);
    bool layerCacheEnabled() const { return m_layerCacheEnabled; }

public slots:
    void editingFinished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void finishCurrentShape();
    std::shared_ptr<GeneralShape> createShape(InstrumentType type) const;
    void showTextEditor(QPointF p);
    QPointF pagePoint(const QPointF& pos) const;
    void resetPage();
    void invalidateLayer();
    void updateLayer(int count);
    int firstLiveShape() const;
    QRectF paintedExtent(GeneralShape& shape) const;
    QRect widgetRect(const QRectF& page) const;
    QRectF pageRect(const QRect& widget) const;

    QString m_fileName;
    ShapeList m_shapes;
    std::shared_ptr<GeneralShape> m_currentShape;
    ShapeList m_pickedShapes;
    std::shared_ptr<GeneralShape> m_pickFrameShape;
    InstrumentType m_instrument = None;
    QPointer<QLineEdit> m_textEditor;
    float m_viewScaleX = 1.0f;
    float m_viewScaleY = 1.0f;
    float m_viewOffsetX = 0;
    float m_viewOffsetY = 0;
    bool m_pressed = false;
    float m_preferredWidth = 800;
    float m_preferredHeight = 600;
    QPointF m_pressPoint;
    QPointF m_lastPoint;

    // The layer holds m_layerShapes painted in order; the references keep their addresses from
    // being reused by new shapes while the layer still shows them.
    bool m_layerCacheEnabled = true;
    QImage m_layer;
    ShapeList m_layerShapes;
    // Layer plus the live shapes, composed where the screen needs it.
    QImage m_composite;
};
