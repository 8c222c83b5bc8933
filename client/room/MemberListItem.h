#pragma once

#include <QVariantMap>
#include <QWidget>

#include <memory>

class QPushButton;

namespace Ui {
class MemberListItem;
}

// One row of the member list: name, role badge and, for students, the microphone button.
class MemberListItem : public QWidget {
    Q_OBJECT
public:
    explicit MemberListItem(QWidget* parent = nullptr);
    ~MemberListItem() override;

    void SetData(const QVariantMap& record);
    QVariantMap data() const { return m_data; }
    QString GetUserId() const;
    bool IsMicOn() const;
    // Changes the button only; ButtonClicked is not emitted.
    void SetMicOn(bool on);
    // The student's raised hand, shown before the microphone button; a click asks to lower it.
    void SetHandRaised(bool up);
    bool IsHandRaised() const;
    QPushButton* handButton() const { return m_hand; }

    Ui::MemberListItem* form() const { return ui.get(); }

signals:
    void ButtonClicked(const QVariantMap& data, bool checked);
    void HandClicked(const QString& userId);

public slots:
    void OnMicClicked();

private:
    std::unique_ptr<Ui::MemberListItem> ui;
    QVariantMap m_data;
    QPushButton* m_hand = nullptr;
};
