// The window on high-density screens: laid out in the screen's scale, so that the fixed-size
// window keeps its size in inches, with its pictures drawn from pixmaps of the screen's pixel
// density rather than blown up. Must run before the application object is constructed.
#pragma once

#include <QCoreApplication>

inline void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}
