#pragma once

#include "shapes.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QVector>

struct LoadedPage;

// The finished shapes of a page painted once into a transparent layer the size of the surface,
// so that a repaint costs one image however busy the page is. A checkpoint holds the layer as it
// was some shapes earlier: taking the top ones off repaints only the few above it. Shapes taken
// away or replaced below the top are painted again only where they lie.
class LayerCache {
public:
    static constexpr int kCheckpointDepth = 16;

    explicit LayerCache(float viewScale)
        : m_viewScale(viewScale)
    {
    }

    // Points below which a part of a paint is not worth a core of its own: painting them takes
    // some tens of milliseconds, laying a layer over another a few.
    static constexpr qint64 kPointsPerPart = 100000;
    // shapes[from, to) painted over image in order, a page's worth on several cores.
    static void paintShapes(QImage& image, const ShapeList& shapes, int from, int to, float viewScale);

    // Off, the surface paints every shape each time; the layer stays as it is.
    void setEnabled(bool enabled) { m_enabled = enabled; }
    bool enabled() const { return m_enabled; }

    void invalidate();
    // Brings the layer to shapes[0, count) painted at size (logical pixels) and ratio.
    void update(const ShapeList& shapes, int count, const QSize& size, qreal ratio);
    const QImage& layer() const { return m_layer; }
    // Takes the drawing painted with the page's read when it was painted at this size; else
    // the layer is painted anew when next needed.
    void adopt(const LoadedPage& page, const QSize& size, qreal ratio);
    // Hands the lists and images held to the caller, who frees them off the GUI thread.
    void release(QVector<ShapeList>& lists, QVector<QImage>& images);

    // The image the screen is painted from, the size of the surface, its pixels in the dirty area
    // (logical pixels) reset to base's; those pixels are returned in devicePixels.
    QImage& composite(
        const QSize& size, qreal ratio, const QRect& dirty, const QImage* base, QRect* devicePixels);

private:
    // Brings the layer to shapes[0, count) by painting again only where shapes came or went;
    // false when that would cost as much as painting it anew.
    bool patch(const ShapeList& shapes, int count, const QSize& size, qreal ratio);

    float m_viewScale = 1.0f;
    bool m_enabled = true;
    // The layer holds m_layerShapes painted in order; the references keep their addresses from
    // being reused by new shapes while the layer still shows them.
    QImage m_layer;
    ShapeList m_layerShapes;
    QImage m_checkpoint;
    ShapeList m_checkpointShapes;
    // Layer plus the live shapes, composed where the screen needs it.
    QImage m_composite;
};
