#include <mutex>

#include "runtime/testing/attached.h"

namespace qmx {
namespace {

std::mutex g_mutex;
std::vector<testing::TraceLine> g_lines;

}  // namespace

namespace testing {
namespace detail {

void CaptureLine(const TraceLine& line) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    // A line formatted just as the capture ended is dropped.
    if (ObjectHooks().captureMask->load() == 0) return;
    g_lines.push_back(line);
  }
  // As a host's trace may fail (out of memory, say) under its caller.
  if (ObjectHooks().faultsArmed->load()) {
    CheckFault(HostOperation::kTrace, line.text.c_str());
  }
}

}  // namespace detail

TraceCapture::TraceCapture(int mask) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
  detail::ObjectHooks().captureMask->store(
      (mask & ~internal::kCaptureAlive) | internal::kCaptureAlive);
}

TraceCapture::~TraceCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  detail::ObjectHooks().captureMask->store(0);
  g_lines.clear();
}

std::vector<TraceLine> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

std::vector<std::string> TraceCapture::Texts() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<std::string> texts;
  for (const TraceLine& line : g_lines) texts.push_back(line.text);
  return texts;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

}  // namespace testing
}  // namespace qmx
