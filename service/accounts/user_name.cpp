// Which account names are well formed, and which nobody may register.
#include "accounts/user_name.h"

#include <string>

bool IsValidUserName(std::string_view name) {
  if (name.size() < 2 || name.size() > 32) return false;
  auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (!alnum(name[0])) return false;
  for (char c : name) {
    if (!alnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

namespace {

// The form in which names are compared for look-alikes: lower case, without ".", "-" and "_".
std::string FoldedUserName(std::string_view name) {
  // A valid name is ASCII, where the Unicode compatibility form of every character is itself:
  // folding the letter case and dropping the separators is all there is to do.
  std::string folded;
  for (const char c : name) {
    if (c == '.' || c == '-' || c == '_') continue;
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded;
}

}  // namespace

bool IsReservedUserName(std::string_view name) {
  static const char* const kReserved[] = {
      "username",   "admin",     "administrator", "root",       "velk",     "velk-service",
      "support",    "api",       "www",           "account",    "accounts", "signature",
      "signatures", "user",      "users",         "help",       "info",     "system",
      "sysadmin",   "webmaster", "hostmaster",    "postmaster", "abuse",    "security",
      "staff",      "moderator", "mod",           "official",   "service",  "register",
      "signin",     "login",     "status",        "noreply",    "no-reply", "anonymous",
      "guest",      "null",      "owner",         "operator",   "team",
  };
  const std::string folded = FoldedUserName(name);
  for (const char* reserved : kReserved) {
    if (folded == FoldedUserName(reserved)) return true;
  }
  return false;
}
