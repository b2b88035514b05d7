// The report cycle: each tick decides whether to report, formats the URL and starts a worker.
#pragma once

// One run of the cycle; the report timer's TimerProc. Window thread only, one run at a time. Asks
// the host at most eight questions, in the order: play state, list position, file path, "ARTIST",
// "TITLE", then "ALBUM", "YEAR", "GENRE" only when a track report follows. Starts at most one
// worker. When no worker can be started, RequestInFlight is cleared again and LastReported and
// StoppedSent keep their values, so the next tick tries again.
void OnReportTimer();

// Formats the stopped report for Settings.User and Settings.Key into `url`, which holds at least
// kFormatLimit bytes (platform.h); the text is cut after kFormatLimit - 1 characters.
void FormatStoppedReport(char* url);
