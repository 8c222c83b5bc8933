#include "HoverButton.h"

#include "whiteboard/AutoClosePopup.h"

#include <QSlider>
#include <QVBoxLayout>

namespace {
const char* const kSliderStyle
    = "QSlider::groove {\nborder: 1px solid #bbb;\nbackground: white;\nwidth: 4px;\n"
      "border-radius: 1px;\n}\n\nQSlider::add-page {\nbackground: #33ABEF;\n"
      "border: 1px solid #777;\nheight: 10px;\nborder-radius: 4px;\n}\n\n"
      "QSlider::sub-page {\nbackground: #fff;\nborder: 1px solid #777;\nheight: 10px;\n"
      "border-radius: 4px;\n}\n\n\nQSlider::handle {\n"
      "background: qlineargradient(x1:0, y1:0, x2:1, y2:1,\n    stop:0 #eee, stop:1 #ccc);\n"
      "border: 1px solid #777;\nheight: 12px;\nmargin-left: -4px;\nmargin-right: -4px;\n"
      "border-radius: 6px;\n}\n";
}

HoverButton::HoverButton(QWidget* parent)
    : QPushButton(parent)
{
    setCheckable(true);

    m_popup = new AutoClosePopup(this);
    m_popup->setStyleSheet("background:#0A0B0D");
    auto* layout = new QVBoxLayout(m_popup);
    m_slider = new QSlider(Qt::Vertical, m_popup);
    m_slider->setValue(50);
    m_slider->setStyleSheet(kSliderStyle);
    layout->addWidget(m_slider);

    connect(this, &QPushButton::clicked, this, &HoverButton::OnClicked);
}

void HoverButton::OnClicked()
{
    emit checkChanged();
    // The handler may have put the button back to the device's real state.
    if (isChecked())
        ShowPopup();
    else
        m_popup->close();
}

void HoverButton::enterEvent(QEvent* event)
{
    if (isChecked())
        ShowPopup();
    QPushButton::enterEvent(event);
}

void HoverButton::ShowPopup()
{
    const QSize hint = m_popup->sizeHint();
    m_popup->move(mapToGlobal(QPoint((width() - hint.width()) / 2, -hint.height())));
    m_popup->show();
}
