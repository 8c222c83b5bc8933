#include "AttendanceDlg.h"

#include "remote/AppServer.h"
#include "shell/Util.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegExp>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>

#include <iterator>
#include <memory>

namespace {

const char* const kHeaders[]
    = { "姓名", "首次进入", "在线时长", "发言时长", "聊天条数", "举手次数", "答题次数" };

QString FirstEntry(const QVariantMap& row)
{
    const qint64 ms = row.value(QStringLiteral("firstEntryTime")).toLongLong();
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                  : QString();
}

QStringList Cells(const QVariantMap& row)
{
    return { row.value(QStringLiteral("nickname")).toString(), FirstEntry(row),
        AttendanceDlg::Duration(row.value(QStringLiteral("presentMs")).toLongLong()),
        AttendanceDlg::Duration(row.value(QStringLiteral("speakingMs")).toLongLong()),
        QString::number(row.value(QStringLiteral("chatLines")).toInt()),
        QString::number(row.value(QStringLiteral("hands")).toInt()),
        QString::number(row.value(QStringLiteral("answers")).toInt()) };
}

// Quoted when it must be; a cell a spreadsheet would take for a formula is kept as text.
QString CsvField(QString text)
{
    if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.at(0)))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

// The dialog a pending answer belongs to; it may be closed before the answer comes.
struct Pending {
    QPointer<AttendanceDlg> dlg;
};

} // namespace

AttendanceDlg::AttendanceDlg(const QVariantMap& live, QWidget* parent)
    : QDialog(parent)
    , m_live(live)
{
    setObjectName(QStringLiteral("attendanceDlg"));
    setWindowTitle(QStringLiteral("出勤 - %1").arg(live.value(QStringLiteral("title")).toString()));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    m_state = new QLabel(QStringLiteral("正在加载…"), this);
    layout->addWidget(m_state);
    m_table = new QTableWidget(0, int(std::size(kHeaders)), this);
    QStringList headers;
    for (const char* h : kHeaders)
        headers << QString::fromUtf8(h);
    m_table->setHorizontalHeaderLabels(headers);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_export = new QPushButton(QStringLiteral("导出CSV"), this);
    m_export->setObjectName(QStringLiteral("exportCsvButton"));
    m_export->setEnabled(false);
    buttons->addWidget(m_export);
    auto* close = new QPushButton(QStringLiteral("关闭"), this);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(m_export, &QPushButton::clicked, this, &AttendanceDlg::OnExport);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    resize(760, 420);
}

AttendanceDlg* AttendanceDlg::Open(const QVariantMap& live, QWidget* parent)
{
    auto* dlg = new AttendanceDlg(live, parent);
    dlg->show();
    dlg->Load();
    return dlg;
}

void AttendanceDlg::Load()
{
    AppServer_Attendance(m_live.value(QStringLiteral("liveId")).toString(), &AttendanceDlg::OnLoaded,
        &AttendanceDlg::OnLoadFailed, new Pending { this }, this);
}

void AttendanceDlg::OnLoaded(const QVariantMap& result, void* context)
{
    std::unique_ptr<Pending> pending(static_cast<Pending*>(context));
    if (!pending->dlg)
        return;
    pending->dlg->SetRows(result.value(QStringLiteral("list")).toList());
    emit pending->dlg->loaded(true);
}

void AttendanceDlg::OnLoadFailed(int code, const QVariantMap& error, void* context)
{
    std::unique_ptr<Pending> pending(static_cast<Pending*>(context));
    if (!pending->dlg)
        return;
    const QString message = error.value(QStringLiteral("message")).toString();
    pending->dlg->m_state->setText(
        QStringLiteral("无法获取出勤：%1").arg(message.isEmpty() ? QString::number(code) : message));
    emit pending->dlg->loaded(false);
}

void AttendanceDlg::SetRows(const QVariantList& rows)
{
    m_rows.clear();
    for (const QVariant& v : rows)
        if (v.toMap().value(QStringLiteral("role")).toString() != QLatin1String("t"))
            m_rows << v; // the teacher holds the class; the table is of who attended it
    m_table->setRowCount(m_rows.size());
    for (int r = 0; r < m_rows.size(); ++r) {
        const QStringList cells = Cells(m_rows.at(r).toMap());
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells.at(c));
            if (c >= 2)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(r, c, item);
        }
    }
    m_state->setText(QStringLiteral("共%1名学生出勤").arg(m_rows.size()));
    m_export->setEnabled(true);
}

QString AttendanceDlg::Duration(qint64 ms)
{
    const qint64 s = qMax<qint64>(0, ms) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600, 2, 10, QLatin1Char('0'))
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QByteArray AttendanceDlg::Csv(const QVariantList& rows)
{
    QStringList lines;
    QStringList headers;
    for (const char* h : kHeaders)
        headers << QString::fromUtf8(h);
    lines << headers.join(QLatin1Char(','));
    for (const QVariant& v : rows) {
        QStringList fields;
        for (const QString& cell : Cells(v.toMap()))
            fields << CsvField(cell);
        lines << fields.join(QLatin1Char(','));
    }
    return QByteArray("\xEF\xBB\xBF")
        + (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

bool AttendanceDlg::ExportTo(const QString& path, QString* error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Csv(m_rows)) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

void AttendanceDlg::OnExport()
{
    QString name = QStringLiteral("出勤_%1.csv").arg(m_live.value(QStringLiteral("title")).toString());
    name.replace(QRegExp(QStringLiteral("[\\\\/:*?\"<>|]")), QStringLiteral("_"));
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("导出CSV"), QDir::home().filePath(name), QStringLiteral("CSV 文件 (*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (ExportTo(path, &error))
        m_state->setText(QStringLiteral("已导出到 %1").arg(QDir::toNativeSeparators(path)));
    else
        ShowError(QStringLiteral("导出失败：%1").arg(error), this);
}
