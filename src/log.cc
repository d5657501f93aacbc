// The process-wide debug sink: a pair of callbacks installed by the front end.
#include "qor/log.h"

#include <utility>

namespace qor::log {
namespace {

DebugSink& sink() {
  static DebugSink instance;
  return instance;
}

}  // namespace

void set_debug_sink(DebugSink s) { sink() = std::move(s); }

bool debug_enabled() {
  const DebugSink& s = sink();
  return s.write && (!s.enabled || s.enabled());
}

void debug(std::string_view record) {
  const DebugSink& s = sink();
  if (s.write && (!s.enabled || s.enabled())) s.write(record);
}

}  // namespace qor::log
