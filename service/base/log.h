// The service's error log on standard error, where a repeated error takes one line with a count.
#pragma once

#include <string>

// Writes "velk-service: WHAT: DETAIL". The same `what` again within ten seconds is only counted;
// the first one after that carries the count of those left out. Any thread.
void LogRepeated(const std::string& what, const std::string& detail);
