#pragma once

#include <QByteArray>
#include <QDialog>
#include <QVariantList>
#include <QVariantMap>

class QLabel;
class QPushButton;
class QTableWidget;

// "出勤": who was at a live and for how long (name, first entry, time present, time speaking,
// chat lines, hands, answers), as lectern-server recorded it, with "导出CSV".
class AttendanceDlg : public QDialog {
    Q_OBJECT
public:
    AttendanceDlg(const QVariantMap& live, QWidget* parent = nullptr);

    // Opens one for the live and asks the server for its table.
    static AttendanceDlg* Open(const QVariantMap& live, QWidget* parent);
    void Load();
    // The students' rows of a "live.attendance" result, in its order.
    void SetRows(const QVariantList& rows);
    const QVariantList& rows() const { return m_rows; }

    // The table as CSV: UTF-8 with a byte order mark (so a spreadsheet reads the names right),
    // CRLF line ends, a header line.
    static QByteArray Csv(const QVariantList& rows);
    // Writes Csv(rows()) to path whole or not at all.
    bool ExportTo(const QString& path, QString* error) const;
    static QString Duration(qint64 ms);

    QTableWidget* table() const { return m_table; }
    QPushButton* exportButton() const { return m_export; }
    QLabel* stateLabel() const { return m_state; }

signals:
    // The server's answer (or its refusal) has been shown.
    void loaded(bool ok);

private:
    void OnExport();
    static void OnLoaded(const QVariantMap& result, void* context);
    static void OnLoadFailed(int code, const QVariantMap& error, void* context);

    QVariantMap m_live;
    QVariantList m_rows;
    QTableWidget* m_table = nullptr;
    QPushButton* m_export = nullptr;
    QLabel* m_state = nullptr;
};
