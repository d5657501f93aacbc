// The debug-log hook of the core. The core never prints: it hands debug records to one sink that
// the front end installs (the command line prints them, the Python modules forward them to
// Python's root logger). Records are built only when the sink says debug level is enabled.
#ifndef QOR_LOG_H_
#define QOR_LOG_H_

#include <functional>
#include <string>
#include <string_view>

namespace qor::log {

struct DebugSink {
  // Whether debug records are wanted now; asked before a record is built.
  std::function<bool()> enabled;
  // Receives one finished record.
  std::function<void(std::string_view)> write;
};

// Installs `sink` for the whole process, replacing the previous one. An empty sink (the
// default) drops every record. Not thread-safe: install before running any operation.
void set_debug_sink(DebugSink sink);

// True when a sink is installed and wants debug records.
bool debug_enabled();

// Sends `record` to the sink when debug level is enabled.
void debug(std::string_view record);

// Builds a record with `build()` and sends it, only when debug level is enabled.
template <class Build>
void debug_lazy(Build&& build) {
  if (debug_enabled()) debug(std::string(build()));
}

}  // namespace qor::log

#endif  // QOR_LOG_H_
