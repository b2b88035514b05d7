// What a history signature shows: the listens or chart rows read from the store, turned into the
// view the renderer draws and into the JSON of the same data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "accounts/held_accounts.h"
#include "history/history_request.h"
#include "images/signature_view.h"
#include "render/history_view.h"
#include "storage/store.h"

// The data behind one history signature, as read at one moment.
struct CHistoryData {
  std::vector<CListen> listens;  // kRecent: newest first, the playing track's listen left out
  std::vector<CChartRow> chart;  // charts
  bool playing = false;          // kRecent: the account's track plays now (shown on top)
};

// Reads what `request` shows of `account` from `store` at Unix seconds `now`. Throws CStoreError.
CHistoryData ReadHistory(CStore& store, const CSignatureViews& views, const CAccountView& account,
                         const CHistoryRequest& request, int64_t now);

// A text that changes whenever the image of `request` for `account` may change: a change of the
// account or its history, its look, and the passing of time that its texts show (ages by the
// minute, a chart's period by the day).
std::string HistoryVariant(const CAccountView& account, const CHistoryRequest& request,
                           int64_t now);

// The view the renderer draws for `data`.
CHistoryView MakeHistoryView(const CAccountView& account, const CHistoryRequest& request,
                             const CHistoryData& data, int64_t now);

// The same data as JSON: the user, the list's kind, its count or period, and its rows.
std::string HistoryJson(const CAccountView& account, const CHistoryRequest& request,
                        const CHistoryData& data, int64_t now);
