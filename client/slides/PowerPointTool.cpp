#include "PowerPointTool.h"

#include "OfficeProcess.h"
#include "shell/AppFolders.h"
#include "shell/Process.h"

#include <QCollator>
#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLocale>
#include <QTimer>

#include <algorithm>

namespace {

const QString kProfileFolder = QStringLiteral("/LibreOfficePortable/Data/settings");
const QString kCrashFolder = QStringLiteral("/LibreOfficePortable/Data/settings/crash");
const QString kOutputFolder = QStringLiteral("_output_");
const QString kLockFileFilter = QStringLiteral(".~lock*");
const QString kImageSuffix = QStringLiteral(".png");
constexpr int kTickIntervalMs = 1000;
// The command-line buffers of the hidden start (MAX_PATH UTF-16 units, terminator included).
constexpr int kCommandBufferSize = 260;
// A killed suite is gone within milliseconds; a second one on the same profile would be handed
// to the dying one and lost, so the next start waits for it.
constexpr int kKillWaitMs = 3000;
constexpr int kKillPollMs = 20;

// Copies what is missing of the profile template into the profile in use; the suite's own writes
// to the profile stay.
void CopyMissing(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (QFileInfo::exists(target))
            continue;
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!QFile::copy(source, target))
            qDebug() << "office profile copy failed:" << target;
    }
}

} // namespace

PowerPointTool* PowerPointTool::GetInstance()
{
    // Lives until the process ends, as the process never returns from main in order.
    static PowerPointTool* instance = new PowerPointTool;
    return instance;
}

PowerPointTool::PowerPointTool(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
    , m_watcher(new QFileSystemWatcher(this))
    , m_killTimer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &PowerPointTool::OnTimer);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &PowerPointTool::OnFileChanged);
    m_killTimer->setInterval(kKillPollMs);
    connect(m_killTimer, &QTimer::timeout, this, &PowerPointTool::OnKillTick);
}

void PowerPointTool::SetTickLimit(int ticks)
{
    m_tickLimit = ticks;
}

QString PowerPointTool::ProfileFolder() const
{
    return AppWriteFolder() + kProfileFolder;
}

QString PowerPointTool::OwnerMarker() const
{
    return Office::OwnerMarker(AppReadFolder(), ProfileFolder());
}

void PowerPointTool::PrepareProfile() const
{
    const QString profileTemplate = AppReadFolder() + kProfileFolder;
    if (QDir(profileTemplate).absolutePath() != QDir(ProfileFolder()).absolutePath())
        CopyMissing(profileTemplate, ProfileFolder());
}

void PowerPointTool::KillOffice()
{
    KillOwnOffice();
}

void PowerPointTool::KillOwnOffice()
{
    Office::KillOwn(OwnerMarker(), m_launcherPid);
    if (m_killTimer->isActive())
        return;
    if (!OwnOfficeRunning()) {
        KillEnded();
        return;
    }
    m_killClock.start();
    m_killTimer->start();
}

void PowerPointTool::OnKillTick()
{
    Office::KillOwn(OwnerMarker(), m_launcherPid);
    if (OwnOfficeRunning() && m_killClock.elapsed() < kKillWaitMs)
        return;
    m_killTimer->stop();
    KillEnded();
}

void PowerPointTool::KillEnded()
{
    m_launcherPid = 0;
    emit OfficeEnded();
    if (m_failPending) {
        m_failPending = false;
        qDebug() << "open file fail";
        emit OpenFail();
    }
    if (!m_pendingDocument.isEmpty())
        StartConversion();
}

bool PowerPointTool::OwnOfficeRunning() const
{
    return Office::OwnRunning(OwnerMarker(), m_launcherPid);
}

void PowerPointTool::OpenFile(QString path)
{
    qDebug() << "start process file at:" << path;
    ++m_conversion;
    m_timer->stop();
    // Nothing of the previous conversion is announced or reported from here on.
    m_failPending = false;
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    if (!watched.isEmpty())
        m_watcher->removePaths(watched);
    m_pendingDocument = path;
    KillOwnOffice();
}

void PowerPointTool::StartConversion()
{
    const QString path = m_pendingDocument;
    m_pendingDocument.clear();
    const QFileInfo document(path);
    m_outputPath = QDir(document.absolutePath()).filePath(kOutputFolder);
    m_knownImages.clear();
    RemoveLockFiles(document.absoluteDir());
    CreateOutputPath();
    m_watcher->addPath(m_outputPath);

    const QString program = Office::ProgramPath(AppReadFolder());
    const QString crashFolder = AppWriteFolder() + kCrashFolder;
    qDebug() << "office path:" << program;
    qDebug() << "remove office crash report:" << QDir(crashFolder).removeRecursively();

    StartOffice(program, path);

    m_tickCount = 0;
    m_timer->start(kTickIntervalMs);
}

bool PowerPointTool::StartOffice(const QString& program, const QString& document)
{
    // Refused rather than cut: a shortened path would name another document. The failure then
    // reaches the teacher on the first tick, as any failed start does.
    const QString parameters = Office::CommandLine(document);
    wchar_t file[kCommandBufferSize];
    wchar_t arguments[kCommandBufferSize];
    if (!ToWCharArray(QDir::toNativeSeparators(program), file, kCommandBufferSize)
        || !ToWCharArray(parameters, arguments, kCommandBufferSize)) {
        qDebug() << "office command line too long, not started:" << parameters.size() + 1 << "units";
        return false;
    }
    PrepareProfile();
    return Office::StartHidden(program, ProfileFolder(), document, &m_launcherPid);
}

void PowerPointTool::CreateOutputPath()
{
    QDir output(m_outputPath);
    qDebug() << "remove output path result:" << output.removeRecursively();
    qDebug() << "create output path result:" << QDir().mkpath(m_outputPath);
    Office::HideFolder(m_outputPath);
}

void PowerPointTool::RemoveLockFiles(QDir folder)
{
    folder.setNameFilters({ kLockFileFilter });
    const QStringList locks = folder.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QString& lock : locks)
        folder.remove(lock);
}

void PowerPointTool::OnTimer()
{
    if (!OwnOfficeRunning()) {
        RaiseFail();
        return;
    }
    if (m_tickCount++ > m_tickLimit)
        RaiseFail();
}

void PowerPointTool::OnFileChanged(const QString&)
{
    // A late notice from the previous conversion's folder while the next one waits to start.
    if (!m_pendingDocument.isEmpty())
        return;
    m_timer->stop();
    qDebug() << "watcher fired";
    const QStringList listing = QDir(m_outputPath).entryList(QDir::Files, QDir::Unsorted);
    QStringList fresh;
    for (const QString& name : listing) {
        if (name.endsWith(kImageSuffix, Qt::CaseInsensitive) && !m_knownImages.contains(name))
            fresh << name;
    }
    // The file system lists in its own order; pages must follow the slides ("slide2" before "slide10").
    // An explicit locale: the "C" locale's collation ignores the numeric mode.
    QCollator collator { QLocale(QLocale::English) };
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(fresh.begin(), fresh.end(), collator);
    // Known before announcing: a handler that spins the event loop must not see them again.
    m_knownImages = listing;
    const quint64 conversion = m_conversion;
    const QString outputPath = m_outputPath;
    for (const QString& name : fresh) {
        if (conversion != m_conversion)
            return;
        const QString image = outputPath + QLatin1Char('/') + name;
        qDebug() << "new png:" << image;
        emit NewSlides(image);
    }
}

void PowerPointTool::RaiseFail()
{
    m_timer->stop();
    // Reported once the suite is gone, so a new conversion never meets the failed one's suite.
    m_failPending = true;
    KillOwnOffice();
}
