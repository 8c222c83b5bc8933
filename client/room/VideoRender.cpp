#include "VideoRender.h"

#include <QBoxLayout>
#include <QDebug>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

VideoRender::VideoRender(QWidget* parent)
    : QWidget(parent)
    , m_savedParent(parent)
{
}

VideoRender::~VideoRender()
{
    if (m_rootView) {
        m_rootView->uninit();
        m_rootView->destroy();
        m_rootView = nullptr;
    }
}

void VideoRender::showEvent(QShowEvent* event)
{
    if (!m_rootView) {
        m_rootView = iLiveCreateRootView();
        if (m_rootView)
            m_rootView->init(static_cast<uintptr_t>(winId()));
    }
    if (m_rootView)
        m_rootView->setBackgroundColor(m_backgroundColor);
    QWidget::showEvent(event);
}

void VideoRender::doRender(const ilive::LiveVideoFrame* frame)
{
    if (m_rootView && frame)
        m_rootView->doRender(frame);
}

void VideoRender::BindView(const ilive::String& userId, ilive::E_VideoSrc sourceKind)
{
    if (!m_rootView)
        return;
    m_userId = userId;
    ilive::iLiveView view(ilive::VIEW_MODE_HIDDEN, true, ilive::iLiveRect(), 5);
    m_rootView->addView(m_userId, sourceKind, view);
}

void VideoRender::ClearView()
{
    if (!m_rootView)
        return;
    if (m_fullScreen)
        LeaveFullScreen();
    m_rootView->removeAllView(true);
    m_userId = ilive::String();
}

void VideoRender::paintEvent(QPaintEvent* event)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    QWidget::paintEvent(event);
}

void VideoRender::mouseDoubleClickEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
    ToggleFullScreen();
}

void VideoRender::ToggleFullScreen()
{
    if (m_fullScreen)
        LeaveFullScreen();
    else
        EnterFullScreen();
}

void VideoRender::EnterFullScreen()
{
    m_savedParent = parentWidget();
    m_savedGeometry = geometry();
    m_savedMinimumSize = minimumSize();
    m_savedMaximumSize = maximumSize();
    m_savedLayoutIndex = -1;
    if (m_savedParent && m_savedParent->layout())
        m_savedLayoutIndex = m_savedParent->layout()->indexOf(this);

    // The room window gives the view a fixed size; full screen must be free of it.
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setParent(nullptr);
    // Out of its parent, it would outlive the room window as a black screen of its own.
    if (m_savedParent)
        connect(m_savedParent, &QObject::destroyed, this, &QObject::deleteLater, Qt::UniqueConnection);
    m_fullScreen = true;
    showFullScreen();
}

void VideoRender::LeaveFullScreen()
{
    m_fullScreen = false;
    QWidget* parent = m_savedParent.data();
    if (parent)
        disconnect(parent, &QObject::destroyed, this, &QObject::deleteLater);
    setParent(parent);
    setMinimumSize(m_savedMinimumSize);
    setMaximumSize(m_savedMaximumSize);
    // Leaving the parent took the view out of its layout; put it back where it was.
    if (parent && m_savedLayoutIndex >= 0) {
        if (auto* box = qobject_cast<QBoxLayout*>(parent->layout()))
            box->insertWidget(m_savedLayoutIndex, this);
    }
    setGeometry(m_savedGeometry);
    showNormal();
}
