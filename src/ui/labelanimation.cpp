#include "ui/labelanimation.h"

#include <QLabel>
#include <QMovie>

namespace {
// More frames than any animation of ours has; a file that claims more is not kept whole.
constexpr int maxKeptFrames = 256;
} // namespace

LabelAnimation::LabelAnimation(QMovie *movie, QLabel *label, const QSize &shownSize)
    : QObject(label), m_movie(movie), label(label), m_shownSize(shownSize)
{
    // Decoded straight to the pixels of the screen the label is on now; frames for another
    // density are scaled from these.
    movie->setScaledSize(shownSize * label->devicePixelRatioF());
    connect(movie, &QMovie::frameChanged, this, &LabelAnimation::showFrame);
}

void LabelAnimation::showFrame(int frameNumber)
{
    const qreal ratio = label->devicePixelRatioF();
    if (ratio != framesRatio) {
        frames.clear();
        framesRatio = ratio;
    }
    const bool keep = frameNumber >= 0 && frameNumber < maxKeptFrames;
    if (keep && frameNumber < frames.size() && !frames.at(frameNumber).isNull()) {
        label->setPixmap(frames.at(frameNumber));
        return;
    }

    const QPixmap source = m_movie->currentPixmap();
    if (source.isNull())
        return;
    QPixmap frame =
        source.scaled(m_shownSize * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    frame.setDevicePixelRatio(ratio);
    if (keep) {
        if (frameNumber >= frames.size())
            frames.resize(frameNumber + 1);
        frames[frameNumber] = frame;
    }
    label->setPixmap(frame);
}
