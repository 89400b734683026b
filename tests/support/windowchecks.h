// What every picture of the window is checked for, whatever the state: texts that fit their
// widgets and their panels, no two widgets on top of each other, something for a screen
// reader to say about every widget that shows something, and pictures drawn at the screen's
// pixel density.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>

class QWidget;

namespace testsupport {

// Where the window suites save their screenshots: $ORVANE_TEST_BINARY_DIR/screenshots,
// made if it is not there.
QString screenshotFolder();

// Per panel: a visible label, button or field whose text needs more room than it has (for a
// word-wrapped label: its height for its width, and its longest word), a visible widget
// outside the panel's room or near a divider, two visible widgets that overlap, and a visible
// widget that shows something but gives assistive technology no name.
QStringList windowFaults(QWidget *window);

// The aligned 2 x 2 blocks of device pixels in an area of a picture at twice the scale whose
// four pixels are not all alike. Drawn at one pixel per unit and blown up, a picture has none:
// each of its pixels became one such block.
int detailedBlocks(const QImage &image, const QRect &deviceArea);

} // namespace testsupport
