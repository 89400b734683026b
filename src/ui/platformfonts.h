// The window's fonts on platforms that lack the families and the point scale it was
// designed with (macOS: ".SF NS Text" and Arial, 72 points to the inch).
#pragma once

class QWidget;

namespace platformfonts {

// Makes the families the design names fall back to the platform's sans-serif where they are
// missing. Once per process, before the widgets that use them are built; later calls do
// nothing.
void installFallbacks();

// Gives the window and every widget below it with a font of its own the size the design
// meant: on macOS a point is a pixel, elsewhere a point is larger, and a fallback family may
// be wider than Arial; either would make the fixed-size panels clip their texts. The window's
// default becomes the design's 13. Does nothing on macOS.
void adaptSizes(QWidget *root);

} // namespace platformfonts
