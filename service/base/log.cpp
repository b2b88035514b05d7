// The service's logs: error and notice lines on standard error, where a repeated error takes one
// line with a count, and one access line per request on standard output, written by one writer
// thread from a bounded queue.
#include "base/log.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/metrics.h"

namespace {

constexpr std::chrono::seconds kQuietTime(10);
// Bytes of lines queued and not yet written, beyond which new lines are dropped: some ten thousand
// access lines, a few seconds of a busy service whose output stalls.
constexpr size_t kQueueBytes = 1 << 20;
// What a queued line costs beside its text.
constexpr size_t kLineOverhead = 64;
// The most the writer hands the output in one call.
constexpr size_t kWriteBytes = 64 * 1024;
// How long the process waits at exit for the writer to write what is queued.
constexpr std::chrono::milliseconds kExitFlushTime(1000);

CCounter& droppedLines =
    Metrics()
        .Counter("velk_log_lines_dropped_total",
                 "Log lines lost: the output did not take them in time, or refused them")
        .Get();

struct CLogLine {
  std::chrono::steady_clock::time_point writtenAt;
  unsigned long leftOut = 0;
};

// Now in UTC: "2026-01-31T12:34:56.789Z".
std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm parts;
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

// `text` on one line: each run of CR and LF becomes " / ", trailing ones are dropped.
std::string OneLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string out;
  bool breaking = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      breaking = true;
      continue;
    }
    if (breaking) out += " / ";
    breaking = false;
    out.push_back(c);
  }
  return out;
}

// "TIME LEVEL velk-service: TEXT\n", `text` on one line.
std::string StampedLine(const char* level, std::string_view text) {
  return Timestamp() + " " + level + " velk-service: " + OneLine(text) + "\n";
}

// Appends `text` with quotes, backslashes and bytes outside printable ASCII as \xNN.
void AppendPrintable(std::string& out, std::string_view text) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", u);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
}

// Writes all of `text` to `fd`, waiting as long as the output takes. Returns 0, or the error that
// stopped it (a closed pipe, a bad descriptor). Writer thread only.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written >= 0) {
      text.remove_prefix(static_cast<size_t>(written));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLOUT, 0};  // someone else made the output non-blocking
      poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// Lines on their way to standard output and standard error, and the one thread that writes them.
//
// A caller only ever waits for the mutex, which the writer holds just to take the whole queue;
// the writes themselves happen outside it. The writer's write() blocks as long as the output
// does not take the line (a pipe nobody reads stays full). That thread is detached and never
// joined: at exit the process waits up to kExitFlushTime for the queue to empty, then leaves, and
// the end of the process ends a write() still blocked. Making the descriptors non-blocking
// instead would change them for every process that shares them (a terminal shared with the
// shell), so the writer keeps them as they are.
class CLogQueue {
 public:
  // The process's queue. It is never destroyed: its detached writer may outlive main.
  static CLogQueue& Queue() {
    static CLogQueue* const queue = new CLogQueue;
    return *queue;
  }

  // Queues `line` (with its line feed) for `fd`; when the lines not yet written fill the queue,
  // drops and counts it. Any thread; never waits for the output.
  void Push(int fd, std::string line) {
    const size_t cost = line.size() + kLineOverhead;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_started) Start();
      if (m_bytes + cost > kQueueBytes) {
        ++m_dropped;
        droppedLines.Add();
        return;
      }
      m_bytes += cost;
      wake = m_lines.empty();  // otherwise the writer is busy and looks again before it waits
      m_lines.push_back({fd, std::move(line)});
    }
    if (wake) m_queued.notify_one();
  }

  // Waits up to `bound` until every queued line has been written or dropped. Not on the writer.
  void Flush(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait_for(lock, bound, [this] { return m_lines.empty() && !m_writing; });
  }

 private:
  struct CQueuedLine {
    int fd;
    std::string text;
  };

  // Starts the writer with every signal blocked, so that SIGTERM reaches a thread that can act on
  // it and a closed pipe gives the writer EPIPE rather than ending the process. Under m_mutex.
  void Start() {
    m_started = true;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread([this] { WriteLoop(); }).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::atexit([] { Queue().Flush(kExitFlushTime); });
  }

  // Takes the whole queue, writes it, then says how many lines were dropped meanwhile, if any.
  // Writer thread; runs until the process ends.
  [[noreturn]] void WriteLoop() {
    std::vector<CQueuedLine> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_queued.wait(lock, [this] { return !m_lines.empty(); });
        batch.swap(m_lines);
        m_writing = true;
      }
      size_t bytes = 0;
      unsigned long failed = 0;
      int error = 0;
      // Lines in a row for the same output go out in one write of up to 64 KiB.
      std::string run;
      unsigned long runLines = 0;
      for (size_t i = 0; i < batch.size(); ++i) {
        bytes += batch[i].text.size() + kLineOverhead;
        run += batch[i].text;
        ++runLines;
        const bool last = i + 1 == batch.size() || batch[i + 1].fd != batch[i].fd;
        if (!last && run.size() < kWriteBytes) continue;
        if (const int written = WriteAll(batch[i].fd, run); written != 0) {
          error = written;
          failed += runLines;
        }
        run.clear();
        runLines = 0;
      }
      batch.clear();
      unsigned long dropped = 0;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes -= bytes;
        dropped = std::exchange(m_dropped, 0);
      }
      // An output that refuses lines (closed, gone) is an error of its own, and a repeated one.
      if (failed != 0) {
        droppedLines.Add(failed);
        LogRepeated("log lines not written", std::generic_category().message(error) +
                                                 "; lines lost: " + std::to_string(failed));
      }
      // The output moved again: say what it missed, after the lines written before the gap.
      if (dropped != 0) {
        WriteAll(STDERR_FILENO,
                 StampedLine("error", "log lines dropped: " + std::to_string(dropped) +
                                          " (the output did not take them in time)"));
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_writing = false;
      if (m_lines.empty()) m_idle.notify_all();
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_queued;  // a line was queued while the queue was empty
  std::condition_variable m_idle;    // the queue emptied and the writer has nothing in hand
  std::vector<CQueuedLine> m_lines;  // in the order queued
  size_t m_bytes = 0;                // the cost of the lines queued or being written
  unsigned long m_dropped = 0;       // lines dropped since the last notice of it
  bool m_writing = false;            // the writer holds a batch
  bool m_started = false;            // the writer runs
};

}  // namespace

void LogLine(const char* level, std::string_view text) {
  CLogQueue::Queue().Push(STDERR_FILENO, StampedLine(level, text));
}

void LogOutputLine(std::string_view text) {
  CLogQueue::Queue().Push(STDOUT_FILENO, std::string(text) + "\n");
}

void LogRepeated(const std::string& what, const std::string& detail) {
  static std::mutex mutex;
  static std::map<std::string, CLogLine> lines;  // one entry per kind of error: a short list
  const auto now = std::chrono::steady_clock::now();
  unsigned long leftOut = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto [line, added] = lines.try_emplace(what);
    if (!added && now - line->second.writtenAt < kQuietTime) {
      ++line->second.leftOut;
      return;
    }
    leftOut = line->second.leftOut;
    line->second = CLogLine{now, 0};
  }
  std::string text = what + ": " + OneLine(detail);
  if (leftOut != 0) {
    text += " (and " + std::to_string(leftOut) + " more like it since the last such line)";
  }
  LogLine("error", text);
}

std::string AccessLine(const CAccessRecord& record) {
  std::string line;
  AppendPrintable(line, record.client.empty() ? "-" : record.client);
  line += " \"";
  if (record.method.empty()) {
    line += "-";
  } else {
    AppendPrintable(line, record.method);
    line += " ";
    AppendPrintable(line, record.target.substr(0, record.target.find_first_of("?#")));
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, "\" %d %zu %.6f", record.status, record.bytes, record.seconds);
  return line + tail;
}

void LogAccess(const CAccessRecord& record) {
  CLogQueue::Queue().Push(STDOUT_FILENO, Timestamp() + " " + AccessLine(record) + "\n");
}
