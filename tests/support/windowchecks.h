// What every picture of the window is checked for, whatever the state.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace testsupport {

// $ORVANE_TEST_BINARY_DIR/screenshots, made if it is not there.
QString screenshotFolder();

// Per panel: a visible label, button or field whose text needs more room than it has (for a
// word-wrapped label: its height for its width, and its longest word), a visible widget
// outside the panel's room or near a divider, two visible widgets that overlap, and a visible
// widget that shows something but gives assistive technology no name.
QStringList windowFaults(QWidget *window);

} // namespace testsupport
