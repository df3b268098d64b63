// What the rows of the list hold besides their main picture (other images,
// depth and gain maps, frames) and their stored thumbnails, found out on
// worker threads as rows are added.
#pragma once

#include <cstdint>

namespace ambrel::app {

class FileTableModel;

// Scans the rows of `model` whose ids are above `scannedUpTo` on the global
// thread pool, and marks each row when its answer comes back (on the UI
// thread, while the model exists); `scannedUpTo` moves to the last id.
void scanNewRows(FileTableModel& model, std::uint64_t& scannedUpTo);

}  // namespace ambrel::app
