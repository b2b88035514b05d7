// What a history signature's URL asks for: which list, how many rows or which period, which format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "render/history_view.h"
#include "storage/history.h"

struct CHistoryRequest {
  CHistoryView::EKind kind = CHistoryView::EKind::kRecent;
  enum class EFormat { kPng, kSvg, kJson };
  EFormat format = EFormat::kPng;
  int count = 5;              // kRecent: 1 to 10 rows
  std::string period = "7d";  // charts: "7d", "30d" or "all"
  int64_t days = 7;           // charts: the period in days; 0: all time

  // "recent", "top-artists" or "top-tracks".
  static const char* KindName(CHistoryView::EKind kind);
  // The cache key's part for what is asked ("recent/5/png", "top-artists/all/svg").
  std::string Key() const;
  // The first day (a ListenDay) of the period for a request at Unix seconds `now`; 0: all time.
  int64_t FromDay(int64_t now) const;
  // "last 7 days", "last 30 days" or "all time".
  std::string PeriodText() const;
};

// Reads the query's count (recent) or period (charts) into `*request`, whose kind is set; returns
// a one-line reason for a value out of range, else "". Other fields are ignored.
std::string ParseHistoryQuery(std::string_view query, CHistoryRequest* request);
