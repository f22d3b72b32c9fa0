// The host's debugger-output channel: messages meant for a developer watching the process,
// not for the application's standard error stream. On this host it is syslog at debug level.
#pragma once

namespace qel::hux {

// Sends `text` to the debugger-output channel.
void debug_output(const char *text);

// Sends debugger output to `sink` instead of syslog; null puts syslog back. For tests.
using DebugOutputSink = void (*)(const char *text);
void set_debug_output_sink(DebugOutputSink sink);

}  // namespace qel::hux
