#include "PowerPointTool.h"

#include "shell/Process.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

namespace {

const QString kProcessName = QStringLiteral("soffice.bin");
#ifndef Q_OS_WIN
// The launcher that the "soffice" script execs into; it starts "soffice.bin", and starts it once
// more when the first one ends for a fresh profile.
const QString kLauncherName = QStringLiteral("oosplash");
// What the suite needs to find in the profile to run our macro.
const QString kMacroModule = QStringLiteral("/user/basic/ExportImages/ExportImages.xba");
#endif
#ifdef Q_OS_WIN
const QString kOfficeProgram = QStringLiteral("/LibreOfficePortable/App/libreoffice/program/soffice.exe");
#else
const QString kOfficeProgram = QStringLiteral("/LibreOfficePortable/App/libreoffice/program/soffice");
#endif
const QString kOfficeSuite = QStringLiteral("/LibreOfficePortable/App/libreoffice");
const QString kProfileFolder = QStringLiteral("/LibreOfficePortable/Data/settings");
const QString kCrashFolder = QStringLiteral("/LibreOfficePortable/Data/settings/crash");
const QString kOutputFolder = QStringLiteral("_output_");
const QString kLockFileFilter = QStringLiteral(".~lock*");
const QString kImageSuffix = QStringLiteral(".png");
const QString kParameterTemplate = QStringLiteral(
    "--nocrashreport --nodefault --nolockcheck --nologo --nofirststartwizard --norestore \"%1\" -o \"%2\"");
const QString kMacroUrl = QStringLiteral("macro:///ExportImages.ExportImages.ExportAsImages()");
constexpr int kTickIntervalMs = 1000;
// The command-line buffers of the hidden start (MAX_PATH UTF-16 units, terminator included).
constexpr int kCommandBufferSize = 260;
// A killed suite is gone within milliseconds; a second one on the same profile would be handed
// to the dying one and lost, so the next start waits for it.
constexpr int kKillWaitMs = 3000;
constexpr int kKillPollMs = 20;

// Name order in which "slide2.png" comes before "slide10.png".
bool naturalLess(const QString& a, const QString& b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int endA = i;
            int endB = j;
            while (endA < a.size() && a.at(endA).isDigit())
                ++endA;
            while (endB < b.size() && b.at(endB).isDigit())
                ++endB;
            QStringRef numberA = a.midRef(i, endA - i);
            QStringRef numberB = b.midRef(j, endB - j);
            while (numberA.size() > 1 && numberA.at(0) == QLatin1Char('0'))
                numberA = numberA.mid(1);
            while (numberB.size() > 1 && numberB.at(0) == QLatin1Char('0'))
                numberB = numberB.mid(1);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            const int order = numberA.compare(numberB);
            if (order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        const QChar charA = a.at(i).toCaseFolded();
        const QChar charB = b.at(j).toCaseFolded();
        if (charA != charB)
            return charA < charB;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}

#ifndef Q_OS_WIN
// The process pid still runs with ownerMarker on its command line: not ended, not reused by
// another program. A zombie has no command line left.
bool launcherAlive(qint64 pid, const QString& ownerMarker)
{
    if (pid <= 0)
        return false;
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = file.readAll();
    bytes.replace('\0', ' ');
    return QString::fromLocal8Bit(bytes).contains(ownerMarker);
}
#endif

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
{
    connect(m_timer, &QTimer::timeout, this, &PowerPointTool::OnTimer);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &PowerPointTool::OnFileChanged);
}

void PowerPointTool::SetApplicationFolder(const QString& folder)
{
    m_applicationFolder = folder;
}

void PowerPointTool::SetTickLimit(int ticks)
{
    m_tickLimit = ticks;
}

QString PowerPointTool::ApplicationFolder() const
{
    return m_applicationFolder.isEmpty() ? QCoreApplication::applicationDirPath() : m_applicationFolder;
}

QString PowerPointTool::ProfileFolder() const
{
    return ApplicationFolder() + kProfileFolder;
}

QString PowerPointTool::OwnerMarker() const
{
#ifdef Q_OS_WIN
    // Our suite is the one whose image lies in the application folder.
    return QDir::toNativeSeparators(ApplicationFolder() + kOfficeSuite);
#else
    // Our suite is the one started on our profile.
    return QStringLiteral("-env:UserInstallation=")
        + QUrl::fromLocalFile(ProfileFolder()).toString(QUrl::FullyEncoded);
#endif
}

QString PowerPointTool::OfficeProgram() const
{
    const QString portable = ApplicationFolder() + kOfficeProgram;
#ifndef Q_OS_WIN
    // Without a suite in the application folder, the system's own (Debian's) is used.
    if (!QFileInfo(portable).isExecutable()) {
        const QString system = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (!system.isEmpty())
            return system;
    }
#endif
    return portable;
}

void PowerPointTool::KillOffice()
{
    KillOwnOffice();
}

void PowerPointTool::KillOwnOffice()
{
    const QString marker = OwnerMarker();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
#ifndef Q_OS_WIN
        // The launcher first: killed after "soffice.bin" it could still start another, and one
        // started a moment ago may not have come as far as starting "soffice.bin" at all.
        if (launcherAlive(m_launcherPid, marker))
            ::kill(pid_t(m_launcherPid), SIGKILL);
        KillProcessByName(kLauncherName, marker);
#endif
        KillProcessByName(kProcessName, marker);
        if (!OwnOfficeRunning() || waited.elapsed() >= kKillWaitMs)
            break;
        QThread::msleep(kKillPollMs);
    }
    m_launcherPid = 0;
}

bool PowerPointTool::OwnOfficeRunning() const
{
    const QString marker = OwnerMarker();
#ifndef Q_OS_WIN
    // A launcher still on its way to "soffice.bin", or between the two starts of a fresh profile,
    // is a suite that runs.
    if (launcherAlive(m_launcherPid, marker) || IsProcessRunning(kLauncherName, marker))
        return true;
#endif
    return IsProcessRunning(kProcessName, marker);
}

void PowerPointTool::OpenFile(QString path)
{
    qDebug() << "start process file at:" << path;
    ++m_conversion;
    const QFileInfo document(path);
    m_outputPath = QDir(document.absolutePath()).filePath(kOutputFolder);
    m_timer->stop();
    KillOwnOffice();
    m_knownImages.clear();
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    if (!watched.isEmpty())
        m_watcher->removePaths(watched);
    RemoveLockFiles(document.absoluteDir());
    CreateOutputPath();
    m_watcher->addPath(m_outputPath);

    const QString program = OfficeProgram();
    const QString crashFolder = ApplicationFolder() + kCrashFolder;
    qDebug() << "office path:" << program;
    qDebug() << "remove office crash report:" << QDir(crashFolder).removeRecursively();

    const QString parameters = kParameterTemplate.arg(kMacroUrl, path);
    StartOffice(program, parameters, path);

    m_tickCount = 0;
    m_timer->start(kTickIntervalMs);
}

bool PowerPointTool::StartOffice(const QString& program, const QString& parameters, const QString& document)
{
    // Refused rather than cut: a shortened path would name another document. The failure then
    // reaches the teacher on the first tick, as any failed start does.
    wchar_t file[kCommandBufferSize];
    wchar_t arguments[kCommandBufferSize];
    if (!ToWCharArray(QDir::toNativeSeparators(program), file, kCommandBufferSize)
        || !ToWCharArray(parameters, arguments, kCommandBufferSize)) {
        qDebug() << "office command line too long, not started:" << parameters.size() + 1 << "units";
        return false;
    }
#ifdef Q_OS_WIN
    Q_UNUSED(document);
    const auto result
        = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, file, arguments, nullptr, SW_HIDE));
    if (result <= 32) {
        qDebug() << "ShellExecuteW fail,GetLastError:" << GetLastError();
        return false;
    }
    return true;
#else
    // The same parameters as one argument list, so no quote inside a file name can split it;
    // the suite runs hidden on the profile that holds our macro.
    QStringList list { QStringLiteral("-env:UserInstallation=")
            + QUrl::fromLocalFile(ProfileFolder()).toString(QUrl::FullyEncoded),
        QStringLiteral("--headless") };
    for (const QString& argument : QProcess::splitCommand(kParameterTemplate)) {
        if (argument == QLatin1String("%1"))
            list << kMacroUrl;
        else if (argument == QLatin1String("%2"))
            list << document;
        else
            list << argument;
    }
    // Without our macro the suite would open the document and idle on for ever.
    if (!QFileInfo::exists(ProfileFolder() + kMacroModule)) {
        qDebug() << "office macro missing, not started:" << ProfileFolder() + kMacroModule;
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(list);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    m_launcherPid = 0;
    if (!process.startDetached(&m_launcherPid)) {
        qDebug() << "ShellExecuteW fail,GetLastError:" << process.error() << process.errorString();
        return false;
    }
    return true;
#endif
}

void PowerPointTool::CreateOutputPath()
{
    QDir output(m_outputPath);
    qDebug() << "remove output path result:" << output.removeRecursively();
    qDebug() << "create output path result:" << QDir().mkpath(m_outputPath);
#ifdef Q_OS_WIN
    if (!SetFileAttributesW(
            reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(m_outputPath).utf16()), FILE_ATTRIBUTE_HIDDEN))
        qDebug() << "set output path hidden fail,GetLastError:" << GetLastError();
#endif
    // Elsewhere the folder stays as named: hiding would mean renaming it to ".something".
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
    m_timer->stop();
    qDebug() << "watcher fired";
    const QStringList listing = QDir(m_outputPath).entryList(QDir::Files, QDir::Unsorted);
    QStringList fresh;
    for (const QString& name : listing) {
        if (name.endsWith(kImageSuffix, Qt::CaseInsensitive) && !m_knownImages.contains(name))
            fresh << name;
    }
    // The file system lists in its own order; pages must follow the slides.
    std::sort(fresh.begin(), fresh.end(), naturalLess);
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
    KillOwnOffice();
    qDebug() << "open file fail";
    emit OpenFail();
}
