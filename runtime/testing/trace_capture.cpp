#include <mutex>

#include "runtime/testing/host_testing.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

std::mutex g_mutex;
std::vector<testing::TraceLine> g_lines;

}  // namespace

namespace internal {

std::atomic<int> g_captureMask{0};

void CaptureTraceLine(const testing::TraceLine& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  // A line formatted just as the capture ended is dropped.
  if (g_captureMask.load() == 0) return;
  g_lines.push_back(line);
}

}  // namespace internal

namespace testing {

TraceCapture::TraceCapture(int mask) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
  internal::g_captureMask.store((mask & ~internal::kCaptureAlive) |
                                internal::kCaptureAlive);
}

TraceCapture::~TraceCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  internal::g_captureMask.store(0);
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
