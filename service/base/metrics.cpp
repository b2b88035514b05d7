// The service's metrics: counters, gauges and histograms kept in one process-wide registry and
// written out in Prometheus' text exposition format.
#include "base/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

const std::vector<double> kLatencyBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                             0.1,    0.25,  0.5,    1,     2.5,  5,     10};

CHistogram::CHistogram(std::vector<double> bounds)
    : m_bounds(std::move(bounds)),
      m_buckets(std::make_unique<std::atomic<uint64_t>[]>(m_bounds.size() + 1)) {
  for (size_t i = 0; i <= m_bounds.size(); ++i) m_buckets[i].store(0, std::memory_order_relaxed);
}

void CHistogram::Observe(double value) {
  size_t bucket = 0;
  while (bucket < m_bounds.size() && value > m_bounds[bucket]) ++bucket;
  m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  double sum = m_sum.load(std::memory_order_relaxed);
  while (!m_sum.compare_exchange_weak(sum, sum + value, std::memory_order_relaxed)) {
  }
}

CHistogram::CSnapshot CHistogram::Snapshot() const {
  CSnapshot snapshot;
  uint64_t running = 0;
  for (size_t i = 0; i <= m_bounds.size(); ++i) {
    running += m_buckets[i].load(std::memory_order_relaxed);
    snapshot.cumulative.push_back(running);
  }
  snapshot.sum = m_sum.load(std::memory_order_relaxed);
  return snapshot;
}

template <class Metric>
Metric& CFamily<Metric>::With(const std::vector<std::string>& values) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_members.find(values);
  if (found != m_members.end()) return *found->second;
  std::unique_ptr<Metric> made;
  if constexpr (std::is_same_v<Metric, CHistogram>) {
    made = std::make_unique<CHistogram>(m_bounds);
  } else {
    made = std::make_unique<Metric>();
  }
  return *m_members.emplace(values, std::move(made)).first->second;
}

template class CFamily<CCounter>;
template class CFamily<CGauge>;
template class CFamily<CHistogram>;

namespace {

// A sample value as Prometheus reads it: integers exactly, others to 17 digits.
std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[40];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  // The shortest form that reads back as the same number: 0.0005, not 0.00050000000000000001.
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// "{a="1",b="2"}" of the labels and values (with an optional extra pair), or nothing when empty.
std::string LabelSet(const std::vector<std::string>& labels, const std::vector<std::string>& values,
                     const std::string& extraLabel = "", const std::string& extraValue = "") {
  std::string out;
  for (size_t i = 0; i < labels.size() && i < values.size(); ++i) {
    out += (out.empty() ? "{" : ",") + labels[i] + "=\"" + EscapeLabel(values[i]) + "\"";
  }
  if (!extraLabel.empty()) {
    out += (out.empty() ? "{" : ",") + extraLabel + "=\"" + EscapeLabel(extraValue) + "\"";
  }
  return out.empty() ? out : out + "}";
}

// The HELP text escaped: backslash and line feed.
std::string EscapeHelp(const std::string& help) {
  std::string out;
  for (char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

CFamily<CCounter>& CMetricsRegistry::Counter(const std::string& name, const std::string& help,
                                             std::vector<std::string> labels) {
  std::lock_guard<std::mutex> lock(m_mutex);
  CEntry& entry = m_entries[name];
  if (!entry.counters) {
    entry.help = help;
    entry.counters = std::make_unique<CFamily<CCounter>>(std::move(labels));
  }
  return *entry.counters;
}

CFamily<CGauge>& CMetricsRegistry::Gauge(const std::string& name, const std::string& help,
                                         std::vector<std::string> labels) {
  std::lock_guard<std::mutex> lock(m_mutex);
  CEntry& entry = m_entries[name];
  if (!entry.gauges) {
    entry.help = help;
    entry.gauges = std::make_unique<CFamily<CGauge>>(std::move(labels));
  }
  return *entry.gauges;
}

CFamily<CHistogram>& CMetricsRegistry::Histogram(const std::string& name, const std::string& help,
                                                 std::vector<std::string> labels,
                                                 std::vector<double> bounds) {
  std::lock_guard<std::mutex> lock(m_mutex);
  CEntry& entry = m_entries[name];
  if (!entry.histograms) {
    entry.help = help;
    entry.histograms = std::make_unique<CFamily<CHistogram>>(std::move(labels), std::move(bounds));
  }
  return *entry.histograms;
}

std::string CMetricsRegistry::Exposition() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string out;
  for (const auto& named : m_entries) {
    // Plain references: C++17 lambdas (and clang before 16) cannot capture structured bindings.
    const std::string& name = named.first;
    const CEntry& entry = named.second;
    const char* type = entry.counters ? "counter" : entry.gauges ? "gauge" : "histogram";
    out += "# HELP " + name + " " + EscapeHelp(entry.help) + "\n";
    out += "# TYPE " + name + " " + type + "\n";
    if (entry.counters) {
      entry.counters->ForEach([&](const std::vector<std::string>& values, const CCounter& metric) {
        out += name + LabelSet(entry.counters->Labels(), values) + " " +
               Number(double(metric.Value())) + "\n";
      });
    } else if (entry.gauges) {
      entry.gauges->ForEach([&](const std::vector<std::string>& values, const CGauge& metric) {
        out += name + LabelSet(entry.gauges->Labels(), values) + " " +
               Number(double(metric.Value())) + "\n";
      });
    } else {
      const auto& labels = entry.histograms->Labels();
      entry.histograms->ForEach(
          [&](const std::vector<std::string>& values, const CHistogram& metric) {
            const CHistogram::CSnapshot snapshot = metric.Snapshot();
            for (size_t i = 0; i < snapshot.cumulative.size(); ++i) {
              const std::string bound =
                  i < metric.Bounds().size() ? Number(metric.Bounds()[i]) : "+Inf";
              out += name + "_bucket" + LabelSet(labels, values, "le", bound) + " " +
                     Number(double(snapshot.cumulative[i])) + "\n";
            }
            out += name + "_sum" + LabelSet(labels, values) + " " + Number(snapshot.sum) + "\n";
            out += name + "_count" + LabelSet(labels, values) + " " +
                   Number(double(snapshot.cumulative.back())) + "\n";
          });
    }
  }
  return out;
}

CMetricsRegistry& Metrics() {
  static CMetricsRegistry* registry = new CMetricsRegistry();  // outlives every static user
  return *registry;
}
