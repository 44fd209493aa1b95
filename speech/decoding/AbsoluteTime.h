#pragma once

namespace sonoscribe {

// Seconds since 1 January 2001 on the system clock: the clock of the
// pipeline-start and first-token times in timing records, so that their
// difference means something wherever each was taken.
double currentAbsoluteTime();

}  // namespace sonoscribe
