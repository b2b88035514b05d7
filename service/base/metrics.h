// The service's metrics: counters, gauges and histograms kept in one process-wide registry and
// written out in Prometheus' text exposition format.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A number that only grows. Any thread.
class CCounter {
 public:
  void Add(uint64_t amount = 1) { m_value.fetch_add(amount, std::memory_order_relaxed); }
  uint64_t Value() const { return m_value.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> m_value{0};
};

// A number that goes up and down. Any thread.
class CGauge {
 public:
  void Add(int64_t amount) { m_value.fetch_add(amount, std::memory_order_relaxed); }
  void Set(int64_t value) { m_value.store(value, std::memory_order_relaxed); }
  int64_t Value() const { return m_value.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> m_value{0};
};

// Observations counted in buckets of fixed upper bounds, with their sum. Any thread.
class CHistogram {
 public:
  // `bounds` ascending; an implicit +Inf bucket follows them.
  explicit CHistogram(std::vector<double> bounds);
  void Observe(double value);

  struct CSnapshot {
    std::vector<uint64_t> cumulative;  // one per bound, then +Inf (the count)
    double sum = 0;
  };
  CSnapshot Snapshot() const;
  const std::vector<double>& Bounds() const { return m_bounds; }

 private:
  const std::vector<double> m_bounds;
  std::unique_ptr<std::atomic<uint64_t>[]> m_buckets;  // not cumulative; last is +Inf
  std::atomic<double> m_sum{0};
};

// Bucket bounds, in seconds, for work that takes from a fraction of a millisecond to seconds.
extern const std::vector<double> kLatencyBuckets;

// Metrics of one name, one per combination of label values. Members of a family live as long as
// the process, so a reference to one may be kept. Any thread.
template <class Metric>
class CFamily {
 public:
  CFamily(std::vector<std::string> labels, std::vector<double> bounds = {})
      : m_labels(std::move(labels)), m_bounds(std::move(bounds)) {}
  // The metric of these label values, in the order the family's labels were given.
  Metric& With(const std::vector<std::string>& values);
  Metric& With(std::initializer_list<std::string> values) {
    return With(std::vector<std::string>(values));
  }
  // Without labels.
  Metric& Get() { return With(std::vector<std::string>()); }

  const std::vector<std::string>& Labels() const { return m_labels; }
  // Calls `visit(values, metric)` for each member, in the order of their label values.
  template <class Visit>
  void ForEach(Visit visit) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [values, metric] : m_members) visit(values, *metric);
  }

 private:
  const std::vector<std::string> m_labels;
  const std::vector<double> m_bounds;
  mutable std::mutex m_mutex;
  std::map<std::vector<std::string>, std::unique_ptr<Metric>> m_members;
};

// Every metric of the process, by name. Names follow Prometheus' conventions: "velk_" first,
// counters end in "_total", measurements name their unit ("_seconds", "_bytes").
class CMetricsRegistry {
 public:
  // The family of `name`, made on first use; later calls with the same name return the same
  // family and ignore the other arguments. Any thread.
  CFamily<CCounter>& Counter(const std::string& name, const std::string& help,
                             std::vector<std::string> labels = {});
  CFamily<CGauge>& Gauge(const std::string& name, const std::string& help,
                         std::vector<std::string> labels = {});
  CFamily<CHistogram>& Histogram(const std::string& name, const std::string& help,
                                 std::vector<std::string> labels = {},
                                 std::vector<double> bounds = kLatencyBuckets);

  // Every metric in the text exposition format (version 0.0.4), families sorted by name.
  std::string Exposition() const;

 private:
  struct CEntry {
    std::string help;
    std::unique_ptr<CFamily<CCounter>> counters;
    std::unique_ptr<CFamily<CGauge>> gauges;
    std::unique_ptr<CFamily<CHistogram>> histograms;
  };
  mutable std::mutex m_mutex;
  std::map<std::string, CEntry> m_entries;
};

// The process's registry.
CMetricsRegistry& Metrics();
