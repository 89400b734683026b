// What every picture of the window is checked for, whatever the state: texts that fit their
// widgets and their panels, no two widgets on top of each other, something for a screen
// reader to say about every widget that shows something.
#pragma once

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

} // namespace testsupport
