#include "Resources.h"

#include <QtGlobal>

void LecternInitResources()
{
    // The macro needs the global namespace, hence this function.
    Q_INIT_RESOURCE(lectern);
}
