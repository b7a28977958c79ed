#pragma once
// Progress lines of the long verbs on standard error ("PERCENT:37.5"), written only when the
// environment asks for them (see core/tool_contract.h). A verb divides its work into spans of the
// 0..100 scale, weighted by the time each part takes, and reports how far it is within the current one.
// The figure written never goes down, changes by at least half a point between lines and is written
// at most ten times a second; `finish` writes 100. Nothing is written to standard output.

#include <cstdint>

namespace quorbel::imagetool::progress {

// Whether lines are written: the variable read once, on the first call of any function here.
bool enabled();

// The coming reports fill [begin, end] of the scale. Reports 'begin'.
void span(double begin, double end);
// `done` of `total` units of the current span (clamped to it).
void at(std::uint64_t done, std::uint64_t total);
// The work is complete: writes 100 once, if the verb reported anything.
void finish();

}  // namespace quorbel::imagetool::progress
