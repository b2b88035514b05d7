// Reading a history signature's URL: the count or period asked for, and the names of its parts.
#include "history/history_request.h"

#include <charconv>

#include "http/form_decode.h"

const char* CHistoryRequest::KindName(CHistoryView::EKind kind) {
  switch (kind) {
    case CHistoryView::EKind::kTopArtists:
      return "top-artists";
    case CHistoryView::EKind::kTopTracks:
      return "top-tracks";
    case CHistoryView::EKind::kRecent:
      break;
  }
  return "recent";
}

std::string CHistoryRequest::Key() const {
  static constexpr const char* kFormats[] = {"png", "svg", "json"};
  const std::string which = kind == CHistoryView::EKind::kRecent ? std::to_string(count) : period;
  return std::string(KindName(kind)) + '/' + which + '/' + kFormats[static_cast<int>(format)];
}

int64_t CHistoryRequest::FromDay(int64_t now) const {
  return days > 0 ? ListenDay(now) - (days - 1) : 0;
}

std::string CHistoryRequest::PeriodText() const {
  return days > 0 ? "last " + std::to_string(days) + " days" : "all time";
}

std::string ParseHistoryQuery(std::string_view query, CHistoryRequest* request) {
  const std::vector<CFormField> fields = SplitForm(query);
  std::string value;
  if (request->kind == CHistoryView::EKind::kRecent) {
    if (!FindFormValue(fields, "count", &value)) return "";
    int count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (error != std::errc() || end != value.data() + value.size() || count < 1 || count > 10)
      return "count must be a whole number from 1 to 10.";
    request->count = count;
    return "";
  }
  if (!FindFormValue(fields, "period", &value)) return "";
  if (value == "7d" || value == "30d") {
    request->days = value == "7d" ? 7 : 30;
  } else if (value == "all") {
    request->days = 0;
  } else {
    return "period must be 7d, 30d or all.";
  }
  request->period = value;
  return "";
}
