#include "platform/EarlyStop.h"

#include <atomic>

#include "platform/Platform.h"

namespace {

std::atomic<bool> earlyStop{false};

} // namespace

void RequestEarlyStop()
{
    earlyStop = true;
}

bool EarlyStopRequested()
{
    return earlyStop;
}

bool PauseUnlessStopping(unsigned milliseconds)
{
    constexpr unsigned Step = 100;
    for (unsigned left = milliseconds; left > 0 && !earlyStop;) {
        unsigned now = left < Step ? left : Step;
        Sleep(now);
        left -= now;
    }
    return !earlyStop;
}
