// The image toolkit's own log (OpenCV writes warnings of its own to standard
// error), kept quiet while a front end runs a batch.
#pragma once

namespace ambrel::pipeline {

// Silences the toolkit's log and returns the level it had.
[[nodiscard]] int silenceToolkitLog();
// Gives the toolkit's log back a level silenceToolkitLog returned.
void restoreToolkitLog(int level);

}  // namespace ambrel::pipeline
