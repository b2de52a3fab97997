#include "ownsound.h"
#include "wavefile.h"

#include <QFileInfo>

#include <chrono>

namespace {

// The room before a play is judged over this long.
const qint64 roomWindowUs = 300000;

} // namespace

OwnSound::OwnSound()
    : play(NoPlay)
    , started(0)
    , playDelay(-1)
    , lastDelay(-1)
    , roomLevel(0.0)
    , unheardRun(0)
    , counted(false)
{
}

qint64 OwnSound::now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const OwnSound::Sound &OwnSound::soundOf(const QString &fileName)
{
    const QDateTime modified = QFileInfo(fileName).lastModified();
    if (sound.fileName != fileName || sound.modified != modified) {
        qint64 firstMs = -1;
        qint64 lastMs = -1;
        WaveFile(fileName).findSound(&firstMs, &lastMs);
        sound.fileName = fileName;
        sound.modified = modified;
        sound.firstUs = firstMs * 1000;
        sound.lastUs = lastMs * 1000;
    }
    return sound;
}

void OwnSound::playStarted(const QString &fileName, qint64 now)
{
    soundOf(fileName);
    if (play == Unheard && !counted)
        ++unheardRun;
    else if (play == Heard)
        unheardRun = 0;
    counted = false;
    started = now;
    playDelay = -1;
    roomLevel = 0.0;
    for (const auto &chunk : qAsConst(recent)) {
        if (chunk.first >= now - roomWindowUs)
            roomLevel = qMax(roomLevel, chunk.second);
    }
    // A silent file is heard by nobody; a room too loud to hear a play
    // rise above it leaves the delay unknown.
    if (sound.firstUs < 0)
        play = Unheard;
    else if (roomLevel > 0.5)
        play = Masked;
    else
        play = Listening;
}

void OwnSound::heard(qint64 now, qreal level, qreal threshold)
{
    recent.append({ now, level });
    int old = 0;
    while (old < recent.size() && recent[old].first < now - roomWindowUs)
        ++old;
    recent.remove(0, old);

    if (play != Listening)
        return;
    // The play has risen above the room: twice as loud, and clearly, or
    // loud enough to stop the alarm.
    const qreal rise = qMin(qMax(2 * roomLevel, roomLevel + 0.05), threshold);
    if (level >= rise && level > roomLevel) {
        playDelay = qBound(qint64(0), now - started - sound.firstUs, longestDelayUs);
        lastDelay = playDelay;
        play = Heard;
    } else if (now > started + sound.firstUs + longestDelayUs) {
        play = Unheard;
    }
}

bool OwnSound::audible(qint64 now) const
{
    switch (play) {
    case NoPlay:
    case Unheard:
        return false;
    case Listening:
        return true;
    case Heard:
        return now < started + playDelay + sound.lastUs + reverberationUs;
    case Masked:
        return now < started + (lastDelay >= 0 ? lastDelay : longestDelayUs) + sound.lastUs
            + reverberationUs;
    }
    return false;
}

void OwnSound::forgiveUnheard()
{
    unheardRun = 0;
    counted = true;
}

void OwnSound::reset()
{
    play = NoPlay;
    lastDelay = -1;
    unheardRun = 0;
    counted = false;
}
