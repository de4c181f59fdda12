// A private cupsd for tests: its configuration, request folder, backends
// and filters all under one temporary folder, listening on a free loopback
// port, with no state shared with the machine's own CUPS. Stopped by the
// destructor.
//
// Not thread-safe; one test thread drives it. Start points CUPS_SERVER (and
// libcups on the calling thread) at it until the destructor.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {

class PrivateCups {
 public:
  struct Queue {
    std::string name;
    std::string device_uri;
    std::string ppd;           // the queue's driver (PPD text); "" = a raw queue
    std::string error_policy;  // "" = cupsd's default (stop-printer)
  };

  PrivateCups();
  ~PrivateCups();
  PrivateCups(const PrivateCups&) = delete;
  PrivateCups& operator=(const PrivateCups&) = delete;

  // Before Start: a program in the server's backend folder (mode 0700 makes
  // a root cupsd run it as root), a filter, a queue, an environment
  // variable for the programs cupsd runs.
  void AddBackend(const std::string& name, const std::string& script, mode_t mode);
  void AddBackendFile(const std::string& name, const std::string& program, mode_t mode);
  void AddFilter(const std::string& name, const std::string& script);
  void AddQueue(const Queue& queue);
  void SetEnv(const std::string& name, const std::string& value);

  // Starts cupsd and waits until every queue answers; false with `*why`
  // (e.g. cupsd is not installed) otherwise.
  bool Start(std::string* why);

  // "127.0.0.1:PORT".
  std::string server() const;
  const std::string& root() const { return dir_.path(); }
  std::string ErrorLog() const;

  // Prints `file` on `queue` (`options` as lp -o NAME=VALUE; "raw" sends
  // it unfiltered); the job id, 0 on failure (then `*why`).
  int Print(const std::string& queue, const std::string& file, const std::map<std::string, std::string>& options,
            std::string* why);
  // One job of several documents.
  int PrintFiles(const std::string& queue, const std::vector<std::string>& files,
                 const std::map<std::string, std::string>& options, std::string* why);
  // The job's state (IPP job-state: 3 pending ... 9 completed), 0 when
  // unknown.
  int JobState(int job);
  bool WaitJobState(int job, int state, int timeout_ms);
  // The queue's printer-state (3 idle, 4 processing, 5 stopped), 0 when
  // unknown.
  int PrinterState(const std::string& queue);
  // Starts a stopped queue again (as cupsenable does).
  bool Resume(const std::string& queue);

 private:
  TempDir dir_;
  int port_ = 0;
  std::string queues_conf_;
  std::string env_lines_;
  std::vector<std::string> queue_names_;
  std::unique_ptr<Subprocess> process_;
  std::unique_ptr<ScopedEnv> server_env_;
};

}  // namespace tillcast::test
