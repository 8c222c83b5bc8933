#pragma once

#include <QHash>
#include <QVariantList>
#include <QSize>
#include <QVariantMap>
#include <QWidget>

#include <memory>
#include <string>

namespace Ui {
class LiveListDlg;
}
class QTimer;
class LiveListItem;
class LiveListStateItem;
class RowBinder;

// The lobby: the teacher's lives by state, refreshed while visible; opens a live in a room window.
class LiveListDlg : public QWidget {
    Q_OBJECT
public:
    // The one lobby of the process, created on first use and never destroyed.
    static LiveListDlg* GetInstance();

    // Live state of a record: 0 not started ("v", "s"), 1 in progress ("i"), 2 ended (anything else).
    static int LiveState(const QVariantMap& record);
    // Keeps the lives that belong under a state tab: 0 all, 1 not started, 2 ended.
    static QVariantList FilterLives(const QVariantList& lives, int tabRow);
    // The live that quick entry opens: the one in progress, else the next to start; empty when none.
    static QVariantMap QuickEntryLive(const QVariantList& lives, qint64 nowMs);

    Q_INVOKABLE void ShowOfflineMsg();
    Q_INVOKABLE void iLiveCreateRoomCompleted(int code, const std::string& desc);

    // Live-video forced-offline listener, registered by the login window.
    static void OnForceOffline();

    // App-server handlers; the context is the lobby.
    static void OnAppServer_LiveListSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_LiveListError(int code, const QVariantMap& error, void* context);
    // Replays of ended lives: their rows offer to open them in the browser. A server without
    // replays answers with an error, and no row offers one.
    static void OnAppServer_ReplayListSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_ReplayListError(int code, const QVariantMap& error, void* context);
    static void OnAppServer_CreateRoomSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_CreateRoomError(int code, const QVariantMap& error, void* context);
    static void OnAppServer_ReportRoomSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_ReportRoomError(int code, const QVariantMap& error, void* context);
    static void OnAppServer_EnterRoomSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_EnterRoomError(int code, const QVariantMap& error, void* context);

    // Live-video create-room callbacks; data is the lobby.
    static void OnCreateRoomSuccess(void* data);
    static void OnCreateRoomFailure(int code, const char* desc, void* data);

    const QVariantList& lives() const { return m_lives; }
    int currentTab() const { return m_currentTab; }
    int avRoomId() const { return m_avRoomId; }
    QString liveId() const { return m_liveId; }
    QString liveTitle() const { return m_title; }
    bool isEntering() const { return m_entering; }
    QTimer* refreshTimer() const { return m_refreshTimer; }
    Ui::LiveListDlg* form() const { return ui.get(); }
    // The live of a row, and the row's widget (built now if it has not been in view yet).
    QVariantMap liveAt(int row) const;
    LiveListItem* itemAt(int row);
    LiveListStateItem* stateItemAt(int row) const;

public slots:
    void OnStateTabChanged(int row);
    void OnItemButtonClick(const QVariantMap& data);
    void OnEnterButtonClick();
    void timer_tick();
    void RefreshItems();
    void SetupItems(const QVariantList& list);
    void RequestLiveList(bool interactive);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    explicit LiveListDlg(QWidget* parent = nullptr);
    ~LiveListDlg() override;

    void CreateLiveRoom();
    QSize RowSizeHint();
    void QuitLiveRoom();
    void FillToAvailableArea();

    std::unique_ptr<Ui::LiveListDlg> ui;
    QVariantList m_lives;
    QHash<QString, QString> m_replays; // liveId -> the replay page's address
    QVariantList m_shownLives; // what the rows show now, to skip rebuilding an unchanged answer
    int m_currentTab = 0;
    int m_avRoomId = 0;
    QString m_liveId;
    QString m_title;
    QTimer* m_refreshTimer = nullptr;
    QSize m_rowSize;
    RowBinder* m_rowBinder = nullptr; // owned by the list
    bool m_offlineShowing = false;
    // From a click on a live until its room window opens or the entry fails.
    bool m_entering = false;
};
