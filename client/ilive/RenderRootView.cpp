#include "RenderRootView.h"

#include "FrameConvert.h"

#include <QEvent>
#include <QPainter>

RenderSurface::RenderSurface(QWidget* host)
    : QWidget(host)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Clicks belong to the widget that hosts the view (it toggles full screen on double click).
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(host->rect());
    host->installEventFilter(this);
}

void RenderSurface::setBackground(const QColor& colour)
{
    m_background = colour;
    update();
}

void RenderSurface::setFrame(const QImage& image, ilive::E_ViewMode mode)
{
    m_frame = image;
    m_mode = mode;
    update();
}

void RenderSurface::clearFrame(bool repaint)
{
    m_frame = QImage();
    if (repaint)
        update();
}

bool RenderSurface::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return false;
}

void RenderSurface::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_background);
    if (m_frame.isNull() || width() <= 0 || height() <= 0)
        return;
    const QSize scaled = m_frame.size().scaled(
        size(), m_mode == ilive::VIEW_MODE_HIDDEN ? Qt::KeepAspectRatioByExpanding : Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - scaled.width()) / 2, (height() - scaled.height()) / 2), scaled);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setClipRect(rect());
    painter.drawImage(target, m_frame);
}

RenderRootView::~RenderRootView()
{
    uninit();
}

bool RenderRootView::init(uintptr_t nativeWindow)
{
    QWidget* host = QWidget::find(WId(nativeWindow));
    if (!host)
        return false;
    uninit();
    m_surface = new RenderSurface(host);
    m_surface->setBackground(m_background);
    m_surface->show();
    return true;
}

void RenderRootView::uninit()
{
    if (m_surface) {
        m_surface->hide();
        m_surface->deleteLater();
        m_surface = nullptr;
    }
    m_views.clear();
}

void RenderRootView::destroy()
{
    delete this;
}

void RenderRootView::setBackgroundColor(uint32_t argb)
{
    m_background = QColor::fromRgba(argb);
    if (m_surface)
        m_surface->setBackground(m_background);
}

bool RenderRootView::doRender(const ilive::LiveVideoFrame* frame)
{
    if (!frame || !m_surface)
        return false;
    const QByteArray id(frame->identifier.c_str(), int(frame->identifier.size()));
    for (const Bound& b : m_views) {
        if (b.identifier != id || b.type != frame->desc.srcType)
            continue;
        const QImage image = frameconvert::toImage(*frame);
        if (image.isNull())
            return false;
        m_surface->setFrame(image, b.view.mode);
        return true;
    }
    return false;
}

bool RenderRootView::addView(
    const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view)
{
    const QByteArray id(identifier.c_str(), int(identifier.size()));
    if (id.isEmpty())
        return false;
    if (view.exclusive) {
        m_views.clear();
        if (m_surface)
            m_surface->clearFrame(true);
    }
    removeView(identifier, type);
    m_views.append(Bound { id, type, view });
    return true;
}

bool RenderRootView::removeView(const ilive::String& identifier, ilive::E_VideoSrc type)
{
    const QByteArray id(identifier.c_str(), int(identifier.size()));
    for (int i = 0; i < m_views.size(); ++i) {
        if (m_views[i].identifier == id && m_views[i].type == type) {
            m_views.removeAt(i);
            if (m_views.isEmpty() && m_surface)
                m_surface->clearFrame(true);
            return true;
        }
    }
    return false;
}

void RenderRootView::removeAllView(bool repaint)
{
    m_views.clear();
    if (m_surface)
        m_surface->clearFrame(repaint);
}
