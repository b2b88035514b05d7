// The report cycle: each tick decides whether to report, formats the URL and starts a worker.
#pragma once

// Report URLs: the service's base URL, then "/?", the account fields and the track fields, in this
// order. User name and key go in unescaped; the five tag values escaped.
constexpr char kTrackReportFormat[] =
    "%s/?user=%s&key=%s&artist=%s&title=%s&album=%s&year=%s&genre=%s";
constexpr char kStoppedReportFormat[] = "%s/?user=%s&key=%s&artist=stopped&title=stopped";
constexpr char kChangeKeyFormat[] = "%s - %s";

// One run of the cycle; the report timer's TimerProc. Window thread only, one run at a time. Asks
// the host at most eight questions, in the order: play state, list position, file path, "ARTIST",
// "TITLE", then "ALBUM", "YEAR", "GENRE" only when a track report follows. Starts at most one
// worker. When no worker can be started, RequestInFlight is cleared again and LastReported and
// StoppedSent keep their values, so the next tick tries again.
void OnReportTimer();

// Formats the stopped report for Settings.User and Settings.Key into `url`, which holds at least
// kFormatLimit bytes (framework/format.h); the text is cut after kFormatLimit - 1 characters.
void FormatStoppedReport(char* url);

// Starts a report worker on a copy of `url` that reads Settings.Method when its exchange begins and
// clears ReporterState.RequestInFlight when it is over; the flag is the caller's to set. Window
// thread. Returns false when no worker could be started.
bool StartReport(const char* url);
