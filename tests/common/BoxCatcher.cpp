#include "BoxCatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

BoxCatcher::BoxCatcher(QMessageBox::StandardButton answer)
    : m_answer(answer)
{
    connect(&m_timer, &QTimer::timeout, this, &BoxCatcher::poll);
    m_timer.start(20);
}

BoxCatcher::BoxCatcher(std::function<void(QMessageBox*)> onBox)
    : BoxCatcher()
{
    m_onBox = std::move(onBox);
}

QStringList BoxCatcher::texts() const
{
    QStringList list;
    for (const Seen& s : m_seen)
        list << s.text;
    return list;
}

void BoxCatcher::poll()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible())
            continue;
        Seen s;
        s.title = box->windowTitle();
        s.text = box->text();
        s.icon = box->icon();
        s.buttons = box->standardButtons();
        s.defaultButton
            = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
        s.parent = box->parentWidget();
        s.modal = box->isModal();
        s.onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        m_seen << s;
        if (m_onBox)
            m_onBox(box);
        QAbstractButton* button = m_answer != QMessageBox::NoButton ? box->button(m_answer) : nullptr;
        if (!button)
            button = box->defaultButton();
        if (button)
            button->click();
        else
            box->accept();
        box->hide();
    }
}
