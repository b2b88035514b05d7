// A report from the plug-in: its fields as raw bytes, the limits they must keep, the stopped mark.
#include "accounts/report.h"

#include <vector>

#include "http/form_decode.h"

CReportParse ParseReport(std::string_view form) {
  CReportParse result;
  const std::vector<CFormField> fields = SplitForm(form);
  CReport& report = result.report;
  if (!FindFormValue(fields, "user", &report.user) || !FindFormValue(fields, "key", &report.key) ||
      report.user.empty()) {
    result.error = EReportError::kMissingAccount;
    result.message = "The report needs a user and a key.";
    return result;
  }
  struct Tag {
    const char* name;
    std::string* value;
    bool present;
  };
  Tag tags[] = {{"artist", &report.artist, false},
                {"title", &report.title, false},
                {"album", &report.album, false},
                {"year", &report.year, false},
                {"genre", &report.genre, false}};
  for (Tag& tag : tags) {
    tag.present = FindFormValue(fields, tag.name, tag.value);
    if (tag.value->size() > kMaxTagBytes) {
      result.error = EReportError::kTagTooLong;
      result.message = std::string("The ") + tag.name + " is longer than " +
                       std::to_string(kMaxTagBytes) + " bytes.";
      return result;
    }
  }
  report.stopped = report.artist == "stopped" && report.title == "stopped" && !tags[2].present &&
                   !tags[3].present && !tags[4].present;
  return result;
}
