#include "ActiveFilter.h"

#include "LiveDlg.h"

#include <QEvent>

bool ActiveFilter::eventFilter(QObject* watched, QEvent* event)
{
    Q_UNUSED(watched);
    if (!g_liveDlg)
        return false;
    if (event->type() == QEvent::ApplicationDeactivate)
        g_liveDlg->OnDeactive();
    else if (event->type() == QEvent::ApplicationActivate)
        g_liveDlg->OnActive();
    return false;
}
