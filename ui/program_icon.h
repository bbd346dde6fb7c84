#pragma once

// The program's icon from the resources: the scalable picture where an SVG
// reader is installed, and the 32-pixel bitmap everywhere.
#include <QIcon>
#include <QSize>
#include <QString>

inline QIcon LoadProgramIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/quillon.svg"));
    icon.addFile(QStringLiteral(":/icons/quillon-32.png"), QSize(32, 32));
    return icon;
}
