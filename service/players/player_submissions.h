// The bodies other players send, checked and turned into the report that counts and the listens
// they tell of: ListenBrainz listen documents and Audioscrobbler 1.2 forms. Pure functions of
// their input; any thread.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "storage/history.h"
#include "storage/track_state.h"

// Checks a ListenBrainz submission (a JSON document); returns why it is refused, or fills
// `*newest` with the listen that counts: the only one of playing_now and single, the newest of an
// import. `listens`, unless null, receives every listen of a single or an import in the
// document's order (none for playing_now), and is left as it was on refusal. Text
// fields come out as clean, trimmed UTF-8.
std::string ParseListenSubmission(std::string_view body, CKeptReport* newest,
                                  std::vector<CListen>* listens = nullptr);

// Every field of an Audioscrobbler query or form body, decoded, the first of each name counting.
// Names are decoded too: clients may escape the brackets of "a[0]".
std::map<std::string, std::string> DecodeScrobbleFields(std::string_view text);

// Checks the decoded fields of a now-playing notice (`nowPlaying`) or of a submission; returns
// why it is refused (the text after "FAILED "), or fills `*report` with the notice's track or the
// submission's newest entry. `listens`, unless null, receives every entry of a submission in
// order, a[0] first (none for a notice), and is left as it was on refusal. Text fields
// come out as clean, trimmed UTF-8.
std::string ParseScrobbleReport(const std::map<std::string, std::string>& fields, bool nowPlaying,
                                CKeptReport* report, std::vector<CListen>* listens = nullptr);
