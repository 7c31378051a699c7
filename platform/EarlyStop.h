// A stop that arrives while the start-up still runs. The service manager's
// stop control is taken only once the daemon runs; one that comes earlier
// is noted here, so the long waits of the start-up end early and the
// start-up gives up at its next safe point (between two sites, or at a
// wait), never inside a statement or a file write.
#pragma once

void RequestEarlyStop();
bool EarlyStopRequested();

// Sleeps like Sleep, in short steps, and returns false as soon as an early
// stop has been requested (at once when it already was).
bool PauseUnlessStopping(unsigned milliseconds);
