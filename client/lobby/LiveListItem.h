#pragma once

#include <QString>
#include <QVariantMap>
#include <QWidget>

#include <memory>

namespace Ui {
class LiveListItem;
}
class QPixmap;
class QPushButton;

// One live in the lobby: cover, title, remark, time and a button that opens it.
class LiveListItem : public QWidget {
    Q_OBJECT
public:
    explicit LiveListItem(const QVariantMap& data, QWidget* parent = nullptr);
    ~LiveListItem() override;

    // Shows another live in this row (rows are reused across refreshes).
    void SetData(const QVariantMap& data);
    const QVariantMap& data() const { return m_data; }
    Ui::LiveListItem* form() const { return ui.get(); }

    // "直播时间：" + start + "~" + end; the end drops its date when it falls on the start's day.
    static QString TimeText(qint64 startMs, qint64 endMs);
    // A live the teacher ended whose end has not reached the app server yet.
    static constexpr int kEnding = 3;
    // Colour and text of the button for a live state (0 not started, 1 in progress, 2 ended,
    // kEnding).
    static QString ButtonColor(int state);
    static QString ButtonText(int state);
    static QString ButtonStyle(int state);

signals:
    void ButtonClicked(QVariantMap data);
    // "出勤", offered for a live in progress or ended.
    void AttendanceClicked(QVariantMap data);
    // "回放", offered for an ended live whose record carries "replayUrl".
    void ReplayClicked(QVariantMap data);

private slots:
    void OnStartButtonClick();

private:
    static const QPixmap& Cover();

    std::unique_ptr<Ui::LiveListItem> ui;
    QPushButton* m_attendance = nullptr;
    QPushButton* m_replay = nullptr;
    QVariantMap m_data;
    int m_state = -1;
};
