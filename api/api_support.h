// The instance's use of the log and of the process-wide socket engine.
#pragma once

#include <string>

namespace kvoapi {

// Points the process log (channel 0) at path and sets its level.
void OpenInstanceLog(const std::string& path, int level);

// Writes one line to the process log at level (1 error ... 5 debug) through
// TL_WriteLogV. The format is checked as printf's: 64-bit values are written
// with "%lld", which gives the same text as the framework's "%I64d".
void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The text to log for a possibly null host text.
inline const char* LogText(const char* text) { return text ? text : "(null)"; }

// One more user of the socket engine: starts it when needed. 0, or the
// engine's code when it could not start (no use is then counted).
int AcquireNetEngine();
// Gives back one counted use: the last one stops the engine.
void ReleaseNetEngine();
// Current number of users (for tests and diagnostics).
int NetEngineUsers();

}  // namespace kvoapi
