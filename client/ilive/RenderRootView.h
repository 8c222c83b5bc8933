#pragma once

#include "ilive.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QWidget>

// The child widget that paints the current frame inside the window a render view was given.
class RenderSurface : public QWidget {
    Q_OBJECT
public:
    explicit RenderSurface(QWidget* host);

    void setBackground(const QColor& colour);
    void setFrame(const QImage& image, ilive::E_ViewMode mode);
    void clearFrame(bool repaint);
    const QImage& frame() const { return m_frame; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_background = Qt::black;
    QImage m_frame;
    ilive::E_ViewMode m_mode = ilive::VIEW_MODE_FIT;
};

// The shipped render view: shows the bound streams' frames in a RenderSurface.
class RenderRootView : public ilive::iLiveRootView {
public:
    RenderRootView() = default;
    ~RenderRootView() override;

    bool init(uintptr_t nativeWindow) override;
    void uninit() override;
    void destroy() override;
    ilive::E_RootViewType getRootViewType() override { return ilive::ROOT_VIEW_TYPE_SOFTWARE; }
    void setBackgroundColor(uint32_t argb) override;
    bool doRender(const ilive::LiveVideoFrame* frame) override;
    bool addView(
        const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view) override;
    bool removeView(const ilive::String& identifier, ilive::E_VideoSrc type) override;
    void removeAllView(bool repaint) override;

    RenderSurface* surface() const { return m_surface; }

private:
    struct Bound {
        QByteArray identifier;
        ilive::E_VideoSrc type;
        ilive::iLiveView view;
    };
    QPointer<RenderSurface> m_surface;
    QList<Bound> m_views;
    QColor m_background = Qt::black;
};
