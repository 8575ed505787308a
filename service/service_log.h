// The session-log lines of the privileged program. It keeps no log of its
// own: the lines of the work done for a request travel back with the reply,
// and Tovix.exe writes them into the session log, where they stand as they
// would had the host done the work itself. Each thread collects into the
// reply it is working on; a thread with none drops its lines.
#pragma once

#include <string_view>
#include <vector>

#include "protocol/broker_protocol.h"

class ServiceLog {
 public:
  // Collects this thread's lines into `lines` while it lives.
  explicit ServiceLog(std::vector<tovix::broker::LogLine>& lines);
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  static void Write(std::string_view tag, std::string_view text);

 private:
  std::vector<tovix::broker::LogLine>* previous_;
};
