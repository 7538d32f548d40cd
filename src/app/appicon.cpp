#include "appicon.h"

// Resources of a static library are only linked in when initialised by name, from outside any
// namespace.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

QIcon appIcon()
{
    initIconResources();
    QIcon icon;
    for (const int size : { 16, 22, 24, 32, 48, 64, 128, 256 })
        icon.addFile(QStringLiteral(":/icons/ferrow-%1.png").arg(size), QSize(size, size));
    return icon;
}
