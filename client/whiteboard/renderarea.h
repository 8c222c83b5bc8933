#pragma once

#include "InstrumentType.h"
#include "LayerCache.h"
#include "PageModel.h"
#include "shapes.h"

#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

// The transparent surface laid over a slide on which the teacher draws: the tools, the laser and
// the text editor turn the pointer into changes of the page (PageModel), which is painted
// through a cached layer (LayerCache).
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
    // Hands the page to the background writer; returns at once.
    void saveDrawing();
    // Reads the page again: small pages at once, large ones in the background (pageLoaded).
    void load();
    bool isLoading() const { return m_page.isLoading(); }
    const QList<std::shared_ptr<GeneralShape>>& shapes() const;
    const QList<std::shared_ptr<GeneralShape>>& pickedShapes() const { return m_pickedShapes; }
    QLineEdit* textEditor() const { return m_textEditor; }

    bool canUndo() const;
    bool canRedo() const;
    const UndoHistory& history() const { return m_page.history(); }

    QSize sizeHint() const override;
    void setPreferredSize(const QSize& size);

    ShapeList getPickShapes(QPointF a, QPointF b);
    ShapeList shapeAt(QPointF p);
    bool eraseAt(QPointF p);
    void removeShapes(const ShapeList& list);

    // Finished shapes are kept in a cached layer; turning it off paints every shape each time.
    void setLayerCacheEnabled(bool enabled);
    bool layerCacheEnabled() const { return m_layers.enabled(); }
    // Laser trail points still shown.
    int laserPoints() const;

public slots:
    void editingFinished();
    bool undo();
    bool redo();

signals:
    // The page's drawing is on screen: its saved picture or, without one, its shapes.
    void pageShown(const QString& name);
    // The page's drawing has been read and is shown.
    void pageLoaded(const QString& name);
    void historyChanged(bool canUndo, bool canRedo);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Shapes are painted unscaled: the page is neither zoomed nor panned.
    static constexpr float kViewScale = 1.0f;
    static constexpr qint64 kLaserFadeMs = 1000;

    void finishCurrentShape();
    std::shared_ptr<GeneralShape> createShape(InstrumentType type) const;
    void showTextEditor(QPointF p);
    QPointF pagePoint(const QPointF& pos) const;
    void resetPage();
    void updateLayer(int count);
    int firstLiveShape() const;
    ShapeList savedShapes() const;
    bool fits(const QImage& image) const;
    void pictureRead(const QImage& picture);
    void shapesRead(const LoadedPage& page);
    void laserTick();
    QRect laserBounds() const;

    PageModel m_page;
    LayerCache m_layers { kViewScale };
    std::shared_ptr<GeneralShape> m_currentShape;
    ShapeList m_pickedShapes;
    std::shared_ptr<GeneralShape> m_pickFrameShape;
    InstrumentType m_instrument = None;
    QPointer<QLineEdit> m_textEditor;
    bool m_pressed = false;
    float m_preferredWidth = 800;
    float m_preferredHeight = 600;
    QPointF m_pressPoint;
    QPointF m_lastPoint;

    struct LaserPoint {
        QPointF at;
        qint64 ms = 0;
    };
    QVector<QVector<LaserPoint>> m_laserTrails;
    QTimer m_laserTimer;
    QElapsedTimer m_clock;
    QRect m_laserPainted;
};
