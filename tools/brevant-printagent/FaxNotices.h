#pragma once
// The fax service's news on the user's desktop. The fax service serves the
// whole machine and has no desktop to show anything on; the agent runs in
// the user's desktop session, follows the events of the user's own faxes
// (the service's history as that user may see it) and shows a desktop
// notification for each fax that failed and each fax sent but not
// archived. Events are told once: the last one told is kept in a file, so
// a session that starts later tells what happened while none ran.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace brevant::faxsvc {
class Message;
}  // namespace brevant::faxsvc

namespace brevant::printagent {

struct Notice {
  std::string summary, body;
};

// Whether the user's desktop is told of an event: a fax failed ("failed")
// or was sent but not archived ("not_archived").
bool IsNews(const faxsvc::Message& event);
// What such an event tells, given the job it names (an empty message when
// the job is gone); an empty summary for other events.
Notice NoticeFor(const faxsvc::Message& event, const faxsvc::Message& job);

class FaxNotices {
 public:
  using Show = std::function<bool(const Notice& notice, std::string* why)>;
  // seenFile keeps the last event told between sessions.
  FaxNotices(std::string seenFile, Show show);
  ~FaxNotices();
  // One look at the service: tells what happened since the last look.
  // False when the service cannot be asked; nothing is lost, the next look
  // goes on from the same event.
  bool Poll();

 private:
  void Save();
  std::string seenFile_;
  Show show_;
  long long last_ = -1;  // the last event told; -1 before the first look
  int failedShows_ = 0;  // of the event that waits to be shown
};

// Polls from a thread of its own, every periodMs, until destroyed.
class FaxNoticeThread {
 public:
  FaxNoticeThread(std::unique_ptr<FaxNotices> notices, int periodMs);
  ~FaxNoticeThread();

 private:
  std::unique_ptr<FaxNotices> notices_;
  int periodMs_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace brevant::printagent
