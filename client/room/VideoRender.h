#pragma once

#include "ilive/ilive.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

// One live-video stream, drawn by the service's render view inside this widget. A double click
// toggles full screen.
class VideoRender : public QWidget {
    Q_OBJECT
public:
    explicit VideoRender(QWidget* parent = nullptr);
    ~VideoRender() override;

    void doRender(const ilive::LiveVideoFrame* frame);
    void BindView(const ilive::String& userId, ilive::E_VideoSrc sourceKind);
    void ClearView();

    ilive::iLiveRootView* rootView() const { return m_rootView; }
    QString boundUserId() const { return QString::fromUtf8(m_userId.c_str()); }
    bool isFullScreenView() const { return m_fullScreen; }
    void ToggleFullScreen();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void EnterFullScreen();
    void LeaveFullScreen();

    ilive::iLiveRootView* m_rootView = nullptr;
    ilive::String m_userId;
    uint32_t m_backgroundColor = 0xFF000000;
    QPointer<QWidget> m_savedParent;
    QRect m_savedGeometry;
    // Where the view sat in its parent's box layout, so full screen can hand it back there.
    int m_savedLayoutIndex = -1;
    QSize m_savedMinimumSize;
    QSize m_savedMaximumSize;
    bool m_fullScreen = false;
};
