// How the build timer reports a failure: in a message box where someone can see one, on
// standard error otherwise.
#pragma once

namespace timer {

// Shows text in a box under caption. On a window station that nobody sees (a service, a
// build agent) no box is shown, because it would wait for a click that never comes; there,
// and when the box cannot be shown, "caption text" and CR LF go to standard error instead,
// in one write.
void Report(const char* text, const char* caption);

}  // namespace timer
