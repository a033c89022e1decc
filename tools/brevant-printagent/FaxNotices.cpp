#include "tools/brevant-printagent/FaxNotices.h"

#include <cstdio>
#include <fstream>
#include <vector>

#include "common/Errors.h"
#include "common/FaxServerConfig.h"
#include "faxservice/client/FaxService.h"
#include "platform/fs/Files.h"
#include "platform/fs/TempFiles.h"

namespace brevant::printagent {

using faxsvc::Message;

namespace {

// A notice that cannot be shown (no notification service in the session
// yet) is tried again at each look, this many times, then left.
constexpr int kShowAttempts = 20;

void Say(const std::string& text) {
  std::fprintf(stderr, "brevant-printagent: %s\n", text.c_str());
}

std::string Without(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

}  // namespace

bool IsNews(const Message& event) {
  const std::string kind = event.Get("kind");
  return kind == "failed" || kind == "not_archived";
}

Notice NoticeFor(const Message& event, const Message& job) {
  if (!IsNews(event)) return {};
  const std::string kind = event.Get("kind");
  const bool incoming = job.Get("queue") == "in";
  std::string summary = kind == "not_archived" ? "Fax not archived"
                        : incoming             ? "Fax reception failed"
                                               : "Fax failed";
  // A job that is gone: the event's own text says what happened.
  if (!job.Has("id")) return {summary, event.Get("text")};
  if (kind == "not_archived")
    return {summary, "Fax to " + job.Get("number") +
                         " was sent but not archived: " + Without(job.Get("error"), "not archived: ")};
  if (incoming) {
    std::string from = job.Get("remote_id").empty() ? job.Get("from_number") : job.Get("remote_id");
    if (from.empty()) from = "an unknown caller";
    return {summary, "Fax from " + from + ": " + job.Get("error")};
  }
  return {summary, "Fax to " + job.Get("number") + " failed: " + job.Get("error")};
}

FaxNotices::FaxNotices(std::string seenFile, Show show)
    : seenFile_(std::move(seenFile)), show_(std::move(show)) {
  std::ifstream in(seenFile_);
  long long seen = -1;
  if (in >> seen && seen >= 0) last_ = seen;
}

FaxNotices::~FaxNotices() = default;

void FaxNotices::Save() {
  if (seenFile_.empty()) return;
  std::string why;
  platform::WriteFileAtomic(seenFile_, std::to_string(last_) + "\n", platform::AtomicOptions(0600).PartName(),
                            &why);
}

bool FaxNotices::Poll() {
  try {
    // A connection for each look, not one held for the session: the
    // service's connections are counted, and every desktop has an agent.
    faxsvc::FaxServer server(faxsvc::ProgramFaxClient());
    server.Connect("");
    for (int page = 0; page < 1000; ++page) {
      Message r = server.Call(Message("events").Set("own", "1").Set("since", last_ < 0 ? 0 : last_));
      long long latest = r.GetInt("latest");
      if (last_ < 0 || last_ > latest) {
        // The first look, or a service whose history began anew: what
        // happened before is not news.
        last_ = latest;
        Save();
        Say("telling this desktop of failed faxes from event " + std::to_string(last_) + " on");
        return true;
      }
      std::vector<Message> events = r.Items();
      // The administrators may turn the notices off for everyone.
      bool tell = !events.empty() && server.Call(Message("line_get")).Get("notify") != "0";
      for (const Message& event : events) {
        Notice notice;
        if (tell && IsNews(event) && event.GetInt("job_id") > 0) {
          Message job;
          try {
            job = server.Call(Message("job").Set("id", event.Get("job_id"))).Item(1);
          } catch (const faxsvc::FaxError&) {
          }
          notice = NoticeFor(event, job);
        }
        if (!notice.summary.empty()) {
          std::string why;
          if (!show_(notice, &why)) {
            Say("cannot show \"" + notice.summary + "\": " + why);
            if (++failedShows_ < kShowAttempts) return true;  // the same event at the next look
          } else {
            Say("told this desktop: " + notice.summary + ": " + notice.body);
          }
        }
        failedShows_ = 0;
        last_ = event.GetInt("id");
        Save();
      }
      if (r.Get("more") != "1") break;
    }
    return true;
  } catch (...) {
    // The service does not run (or restarts): the next look asks again.
    return false;
  }
}

FaxNoticeThread::FaxNoticeThread(std::unique_ptr<FaxNotices> notices, int periodMs)
    : notices_(std::move(notices)), periodMs_(periodMs) {
  thread_ = std::thread([this] {
    std::unique_lock lk(mu_);
    while (!stop_) {
      lk.unlock();
      notices_->Poll();
      lk.lock();
      cv_.wait_for(lk, std::chrono::milliseconds(periodMs_), [this] { return stop_; });
    }
  });
}

FaxNoticeThread::~FaxNoticeThread() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace brevant::printagent
