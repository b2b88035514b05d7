// Which account names are well formed, and which nobody may register.
#pragma once

#include <string_view>

// Account names: 2 to 32 characters of ASCII letters, digits, ".", "_" and "-", starting with a
// letter or a digit. The plug-in sends the name unescaped, so nothing that has a meaning in a
// query ("&", "=", "?", "%", "+", blank) may appear in one.
bool IsValidUserName(std::string_view name);
// Names nobody may register, nor their look-alikes (compared in lower case and without ".", "-"
// and "_": "Ad_min." is "admin"): the plug-in's default user name, so that unconfigured players
// report to no account, and names that would pass for the service's own (admin, root, velk,
// support, api, ...). Only the making of an account asks: one that exists keeps working.
bool IsReservedUserName(std::string_view name);
