// Comparison of dot-separated version texts ("1.2", "1.2.1", "1.10").
#pragma once

#include <QtCore/QString>

namespace ambrel::app {

// True when `candidate` is newer than `current`. Both are split at every
// "."; each part counts as its leading integer (0 when it has none). The
// parts both have are compared in order; when they are all equal, the
// candidate is newer only if it has more parts and those extra parts add up
// to more than 0. So 1.2.1 is newer than 1.2, 1.2.0 is not, 1.10 is newer
// than 1.9, and equal texts are never newer.
bool isVersionBiggerThanVersion(const QString& candidate, const QString& current);

}  // namespace ambrel::app
