#pragma once

#include "InstrumentType.h"
#include "PageChange.h"
#include "PageStore.h"
#include "UndoHistory.h"
#include "shapes.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QLineEdit>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

struct LoadedPage;

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
    // Hands the page to the background writer; returns at once.
    void saveDrawing();
    // Reads the page again: small pages at once, large ones in the background (pageLoaded).
    void load();
    bool isLoading() const { return m_loadTicket != 0; }
    const QList<std::shared_ptr<GeneralShape>>& shapes() const;
    const QList<std::shared_ptr<GeneralShape>>& pickedShapes() const { return m_pickedShapes; }
    QLineEdit* textEditor() const { return m_textEditor; }

    bool canUndo() const;
    bool canRedo() const;
    const UndoHistory& history() const { return m_history; }

    QSize sizeHint() const override;
    void setPreferredSize(const QSize& size);

    ShapeList getPickShapes(QPointF a, QPointF b);
    ShapeList shapeAt(QPointF p);
    bool eraseAt(QPointF p);
    void removeShapes(const ShapeList& list);

    // Finished shapes are kept in a cached layer; turning it off paints every shape each time.
    void setLayerCacheEnabled(bool enabled);
    bool layerCacheEnabled() const { return m_layerCacheEnabled; }
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
    static constexpr int kCheckpointDepth = 16;
    static constexpr qint64 kLaserFadeMs = 1000;

    void finishCurrentShape();
    std::shared_ptr<GeneralShape> createShape(InstrumentType type) const;
    void showTextEditor(QPointF p);
    QPointF pagePoint(const QPointF& pos) const;
    void resetPage();
    void invalidateLayer();
    void updateLayer(int count);
    // Brings the layer to shapes[0, count) by painting again only where shapes came or went;
    // false when that would cost as much as painting it anew.
    bool patchLayer(int count);
    int firstLiveShape() const;

    // A finished change: into the history, the journal and the background writer.
    void commit(PageChange change);
    void scheduleSave();
    bool applyFromHistory(const PageChange& change);
    ShapeList savedShapes() const;
    void pageRead(quint64 ticket, LoadedPage page);
    void pictureRead(quint64 ticket, QImage picture);
    bool pictureFits() const;
    struct Unread;
    void mergeUnread(const QString& name, LoadedPage page, const Unread& unread);
    void startMoveCopies();
    void finishMove();
    void laserTick();
    QRect laserBounds() const;

    QString m_fileName;
    ShapeList m_shapes;
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

    UndoHistory m_history;
    PageJournal m_journal;
    // A large page is read in the background; what is drawn meanwhile goes on top of it.
    quint64 m_loadTicket = 0;
    quint64 m_lastTicket = 0;
    QVector<PageChange> m_changesWhileLoading;
    struct Unread {
        quint64 ticket = 0;
        ShapeList shapes;
        QVector<PageChange> changes;
        QImage picture;
    };
    // The page's drawing as last saved, shown under what is drawn until its shapes are read.
    QImage m_picture;
    // Pages left before they were read, keyed by file name: merged when the read arrives.
    QHash<QString, Unread> m_unread;
    // The shapes a drag moves, as they were before it; the page holds moved copies.
    QVector<PageChange::Placed> m_moveOriginals;
    QVector<PageChange::Placed> m_moveCopies;

    // The layer holds m_layerShapes painted in order; the references keep their addresses from
    // being reused by new shapes while the layer still shows them. The checkpoint is the layer
    // as it was some shapes earlier, so that taking off the top ones repaints only a few.
    bool m_layerCacheEnabled = true;
    QImage m_layer;
    ShapeList m_layerShapes;
    QImage m_checkpoint;
    ShapeList m_checkpointShapes;
    // Layer plus the live shapes, composed where the screen needs it.
    QImage m_composite;

    struct LaserPoint {
        QPointF at;
        qint64 ms = 0;
    };
    QVector<QVector<LaserPoint>> m_laserTrails;
    QTimer m_saveTimer;
    QTimer m_laserTimer;
    QElapsedTimer m_clock;
    QRect m_laserPainted;
};
