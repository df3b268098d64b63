// Process-wide diagnostic log of the HEIF library.
//
// Three channels: error (level 0, standard error), warning (level 1) and
// information (level 2), both on standard output. A text is written when its
// channel's level is not above the current level; every text ends with a line
// end. The level starts at 1.
#pragma once

#include <functional>
#include <string>

namespace ambrel::log {

enum Level : int { Error = 0, Warning = 1, Info = 2 };

void setLevel(int level);
int level();

void error(const std::string& text);
void warning(const std::string& text);
void info(const std::string& text);

// Writes a text on `channel` whatever the level: diagnostic lines of the
// decoding pipeline, which the level set for the reader does not silence.
// They reach the sink like every other text.
void report(int channel, const std::string& text);

// Replaces where texts go (tests capture them this way). The sink receives
// only the texts that pass the level filter. An empty function restores the
// standard streams.
using Sink = std::function<void(int channel, const std::string& text)>;
void setSink(Sink sink);

}  // namespace ambrel::log
