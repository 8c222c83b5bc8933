#include "shell/AppShell.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QDebug>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QTextEdit>
#include <QVBoxLayout>

int main(int argc, char* argv[])
{
    LecternInitResources();

    // 1. The application object; no argument is interpreted.
    QApplication app(argc, argv);

    // 2. Application activation goes to the live room window.
    // replaced by ActiveFilter (room/ActiveFilter.h): app.installEventFilter(new ActiveFilter);

    // 3. Trim the log files of earlier runs.
    RemoveOldLogs();

    // 4. The hidden update dialog; its constructor starts the version check.
    // replaced by UpdateDlg (updater/UpdateDlg.h): new UpdateDlg;

    // 5.-6. From here on every message goes to the daily log file.
    qInstallMessageHandler(LogMessageHandler);
    qDebug() << "startup---------------------------------\n";

    // 7.-8.
    LoadTranslator(app);
    LoadStyleSheet(app);

    // 9. The login window.
    // replaced by LoginDlg (lobby/LoginDlg.h): (new LoginDlg)->show(); and the placeholder below goes
    auto* loginPlaceholder = new QDialog;
    loginPlaceholder->setWindowTitle(QStringLiteral("Tutorline直播助手"));
    auto* layout = new QVBoxLayout(loginPlaceholder);
    layout->addWidget(new QLabel(QStringLiteral("Tutorline直播助手")));
    auto* notes = new QTextEdit;
    notes->setPlaceholderText(QStringLiteral("账号"));
    layout->addWidget(notes);
    auto* list = new QListWidget;
    for (int i = 1; i <= 30; ++i)
        list->addItem(QStringLiteral("直播 %1").arg(i));
    layout->addWidget(list);
    loginPlaceholder->resize(400, 300);
    loginPlaceholder->show();

    // 10.-11. The process ends itself, whatever the loop returned.
    app.exec();
    TerminateCurrentProcess();
}
