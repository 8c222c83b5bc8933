#include "lobby/LoginDlg.h"
#include "room/ActiveFilter.h"
#include "shell/AppFolders.h"
#include "shell/AppShell.h"
#include "shell/Resources.h"
#include "updater/UpdateDlg.h"

#include <QApplication>
#include <QDebug>

int main(int argc, char* argv[])
{
    LecternInitResources();

    // 1. The application object; no argument is interpreted.
    QApplication app(argc, argv);

    // 2. Application activation goes to the live room window.
    app.installEventFilter(new ActiveFilter);

    // 3. Trim the log files of earlier runs.
    RemoveOldLogs();

    // 4. The hidden update dialog; its constructor starts the version check.
    new UpdateDlg;

    // 5.-6. From here on every message goes to the daily log file.
    qInstallMessageHandler(LogMessageHandler);
    qDebug() << "startup---------------------------------\n";
    LogAppFolders();

    // 7.-8.
    LoadTranslator(app);
    LoadStyleSheet(app);

    // 9. The login window.
    (new LoginDlg)->show();

    // 10.-11. The process ends itself, whatever the loop returned.
    app.exec();
    TerminateCurrentProcess();
}
