#pragma once
// A private CUPS scheduler for the spooler tests: cupsd runs in the foreground with its
// own configuration, spool, cache, state and log folders under a temporary directory,
// listens on a free port of 127.0.0.1 and is reached through CUPS_SERVER (set in this
// process while it runs; CUPS_SERVERROOT points at its folder, so that nothing of
// /etc/cups is read). Its queues are made with lpadmin; each queue's device is a
// socket://127.0.0.1:PORT listener of the fixture that keeps every job's bytes. Nothing
// of a system scheduler is used. The scheduler is stopped by the destructor, and dies
// with this process should the test crash.
//
// A queue with a paper size gets a generated PPD with that paper, its imageable area
// and one resolution, which the scheduler reports as media-col-default (with margins)
// and printer-resolution-default; its only filter is "-", so a PDF job reaches the
// device unchanged. A queue without one is a raw queue. Raw jobs pass unchanged to
// either kind.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zvtest {

struct CupsQueue {
  std::string Name;
  bool Raw = false;  // no PPD: no paper and no resolution reported
  // Paper and imageable-area margins in PostScript points (1/72 inch), resolution in
  // dots per inch, as the PPD states them.
  int PaperWidth = 0;
  int PaperHeight = 0;
  int LeftMargin = 0;
  int TopMargin = 0;
  int RightMargin = 0;
  int BottomMargin = 0;
  int Dpi = 0;
  bool Default = false;  // the scheduler's default destination
};

class PrivateCups {
 public:
  // Starts the scheduler and makes the queues; throws std::runtime_error with the
  // scheduler's log when that fails.
  explicit PrivateCups(const std::vector<CupsQueue>& aQueues);
  // Stops the scheduler (SIGTERM, then SIGKILL after a grace time), closes the
  // listeners, removes the folder and restores CUPS_SERVER and CUPS_SERVERROOT.
  ~PrivateCups();
  PrivateCups(const PrivateCups&) = delete;
  PrivateCups& operator=(const PrivateCups&) = delete;

  // "127.0.0.1:PORT"
  std::string Server() const;
  // The jobs that reached aQueue's device so far, one element per connection, each
  // complete (the scheduler's backend closed it).
  std::vector<std::string> Jobs(const std::string& aQueue) const;
  // Waits up to aLimit until aQueue's device has received aCount jobs.
  bool WaitForJobs(const std::string& aQueue, size_t aCount,
                   std::chrono::milliseconds aLimit = std::chrono::seconds(60)) const;
  // The titles of every job the scheduler has taken for aQueue, oldest first (its
  // job history, which outlives ClearJobs).
  std::vector<std::string> JobTitles(const std::string& aQueue) const;
  // Forgets the jobs received so far.
  void ClearJobs();
  // The scheduler's error log (debug level), for failure messages.
  std::string ErrorLog() const;

 private:
  class Listener;

  void Start();
  void Stop();
  void AddQueue(const CupsQueue& aQueue, Listener& aListener);
  const Listener& ListenerOf(const std::string& aQueue) const;

  std::string fDirectory;
  int fPort = 0;
  pid_t fPid = -1;
  std::vector<std::string> fNames;
  std::vector<std::unique_ptr<Listener>> fListeners;
  std::string fSavedServer;
  bool fHadServer = false;
  std::string fSavedServerRoot;
  bool fHadServerRoot = false;
};

}  // namespace zvtest
