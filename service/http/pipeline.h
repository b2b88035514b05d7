// The pipeline every request passes, written once: the path of a proxy's absolute target, the
// HTTPS redirect of pages, the routing table, the database deadline with the route's fallback
// answer, the body limit per route, and the access line and metrics of every answer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/deadline_work.h"
#include "http/message.h"

// One route: what it serves and what it needs of the pipeline, never how that is done.
struct CRoute {
  using Reply = CHttpHandler::Reply;
  // `name` is what the path holds between the route's prefix and suffix (an account name), empty
  // for a route of one exact path.
  using Handler = std::function<void(const CHttpRequest&, std::string_view name, Reply)>;
  using Fallback = std::function<CHttpResponse(const CHttpRequest&, std::string_view name)>;
  // Gives a reply the database deadline: Bind makes `reply` one that answers the route's
  // fallback at the deadline unless it was answered before; false, `reply` untouched, when no
  // deadline can be kept.
  class CDeadline {
   public:
    virtual bool Bind(Reply& reply) const = 0;

   protected:
    ~CDeadline() = default;
  };
  // Answers from memory when memory decides, without a database thread: returns true when it
  // took `reply` (bound to `deadline` first when the answer waits for a commit), else false with
  // `reply` untouched. Runs on the network thread.
  using FromMemory = std::function<bool(const CHttpRequest&, std::string_view name, Reply&,
                                        const CDeadline& deadline)>;
  enum class EDatabase { kNever, kAlways, kOnPost };  // whether the answer may need the database
  enum class EKind { kApi, kPage };  // a page asked without HTTPS goes to the HTTPS address

  std::string prefix;
  std::string suffix;     // with `wildcard`: what the path ends with
  bool wildcard = false;  // false: the path is `prefix` exactly; true: prefix, name, suffix
  EKind kind = EKind::kApi;
  EDatabase database = EDatabase::kNever;
  Handler handle;
  Fallback late;  // the answer when the database does not give one in time
  FromMemory fromMemory;
  size_t bodyLimit = kMaxBodyBytes;
  // The answer to a body over `bodyLimit` (sent before the body is read); null: a plain 413.
  std::function<CHttpResponse(size_t limit)> tooLarge;

  bool NeedsDatabase(const CHttpRequest& request) const;
  // Whether `path` takes this route; `*name` receives the part between prefix and suffix.
  bool Matches(std::string_view path, std::string_view* name) const;
  // The path pattern, "{user}" standing for the name ("/signature/{user}.png").
  std::string Label() const;
};

struct CPipelineOptions {
  // "https://host[:port]" where pages are served; empty: wherever asked.
  std::string httpsUrl;
  // The database may hang (a database server): handlers that need it run on threads of their
  // own, with the route's fallback answer at the deadline. False: they run where asked.
  bool databaseMayHang = false;
  int64_t databaseWaitMs = 1000;
  bool accessLog = true;       // one line per answer on standard output
  bool requestMetrics = true;  // answers by route and status, their durations and bytes
  // The answer to a path that no route takes.
  std::string notFound = "Nothing here.\n";
};

// The handler of a listener: every request passes the same steps to the first route whose path
// pattern it matches.
class CPipeline : public CHttpHandler {
 public:
  // `clock` must outlive the pipeline.
  CPipeline(const CClock& clock, std::vector<CRoute> routes, CPipelineOptions options);
  // Runs the fallbacks of the database work still waiting, and waits for the work under way.
  ~CPipeline() override;
  CPipeline(const CPipeline&) = delete;
  CPipeline& operator=(const CPipeline&) = delete;

  void Handle(const CHttpRequest& request, Reply reply) override;
  size_t BodyLimit(std::string_view target) const override;
  CHttpResponse BodyTooLarge(std::string_view target) const override;
  std::string RouteName(const std::string& target) const override;
  void Answered(const CAccessRecord& answered) override;

 private:
  // The route that `target` takes, or null; `*name` receives the name in its path.
  const CRoute* Find(std::string_view target, std::string_view* name) const;
  // Runs the route's handler on a database thread, with its fallback answer at the deadline.
  void Defer(const CRoute& route, const CHttpRequest& request, std::string_view name, Reply reply);
  // The fast path's deadline: see CRoute::CDeadline.
  bool Bind(const CRoute& route, const CHttpRequest& request, std::string_view name,
            Reply& reply) const;

  const std::vector<CRoute> m_routes;
  const CPipelineOptions m_options;
  std::unique_ptr<CDeadlineWork> m_databaseWork;  // null unless the database may hang
};
