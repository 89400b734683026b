// Plays a QMovie in a QLabel with its frames made at the screen's pixel density. QMovie makes
// pixmaps of one pixel per unit, which a high-density screen would blow up into a blur; here
// the movie decodes to the shown size times the label's device pixel ratio, and each frame
// is given that ratio once and kept for the later rounds (made anew, scaled, if the window
// moves to a screen of another density).
#pragma once

#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QVector>

class QLabel;
class QMovie;

class LabelAnimation : public QObject
{
    Q_OBJECT

public:
    // Plays the movie, which should keep its frames (QMovie::CacheAll), in the label at the
    // shown size (in units). Sets the movie's scaled size. A child of the label.
    LabelAnimation(QMovie *movie, QLabel *label, const QSize &shownSize);

    QMovie *movie() const { return m_movie; }
    QSize shownSize() const { return m_shownSize; }

private:
    void showFrame(int frameNumber);

    QMovie *m_movie;
    QLabel *label;
    QSize m_shownSize;
    qreal framesRatio = 0; // the device pixel ratio the kept frames were made for
    QVector<QPixmap> frames;
};
