#pragma once

#include <QStringList>

class QWidget;

namespace testsupport {

// $ORVANE_TEST_BINARY_DIR/screenshots, made if it is not there.
QString screenshotFolder();

// What every picture of the window is checked for, per panel: texts that need more room than they
// have (a wrapped label: its height for its width, its longest word), widgets outside the panel or
// near a divider, overlapping widgets, widgets that show something but have no accessible name.
QStringList windowFaults(QWidget *window);

} // namespace testsupport
