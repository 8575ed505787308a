// Per-thread collection of the privileged side's session-log lines.
#include "service/service_log.h"

#include <string>

namespace {

thread_local std::vector<tovix::broker::LogLine>* collecting = nullptr;

std::string Bounded(std::string_view text) {
  return std::string(text.substr(0, tovix::broker::kMaxLineBytes));
}

}  // namespace

ServiceLog::ServiceLog(std::vector<tovix::broker::LogLine>& lines) : previous_(collecting) {
  collecting = &lines;
}

ServiceLog::~ServiceLog() { collecting = previous_; }

void ServiceLog::Write(std::string_view tag, std::string_view text) {
  if (collecting == nullptr || collecting->size() >= tovix::broker::kMaxLines) return;
  collecting->push_back(tovix::broker::LogLine{Bounded(tag), Bounded(text)});
}
