// The service's logs: error and notice lines on standard error, where a repeated error takes one
// line with a count, and one access line per request on standard output, all written by one
// writer thread so that an output that does not take them never holds up the caller.
//
// Every function here queues its line and returns at once. When the queue is full (the output has
// not taken its last megabyte), the line is dropped and counted in velk_log_lines_dropped_total;
// once the output moves again, an error line on standard error says how many were dropped. At
// exit the writer gets a short, bounded time to write what is queued; what is left is lost.
#pragma once

#include <string>
#include <string_view>

// Writes "TIME error velk-service: WHAT: DETAIL" (TIME in UTC, ISO 8601 with milliseconds), all
// on one line: line breaks in `detail` become " / ". The same `what` again within ten seconds is
// only counted; the first one after that carries the count of those left out. Any thread.
void LogRepeated(const std::string& what, const std::string& detail);

// Writes "TIME LEVEL velk-service: TEXT" on standard error, on one line. Any thread.
void LogLine(const char* level, std::string_view text);

// Writes `text` as it stands, and a line feed, on standard output, after the lines queued before
// it. For the program's own notices on standard output once the server runs. Any thread.
void LogOutputLine(std::string_view text);

struct CAccessRecord {
  std::string_view client;  // the client's address
  std::string_view method;  // empty when the request was refused before its head was read
  std::string_view target;  // as sent; only its path is written
  int status = 0;
  size_t bytes = 0;  // the body's bytes sent
  double seconds = 0;
};
// Writes one access line on standard output: TIME CLIENT "METHOD PATH" STATUS BYTES SECONDS.
// The path stops before any query, whose values (keys among them) are never written; bytes
// outside printable ASCII are written as \xNN. Any thread.
void LogAccess(const CAccessRecord& record);

// The line LogAccess writes, without the time and the line feed.
std::string AccessLine(const CAccessRecord& record);
