// The files of pages/ built into the program: the page templates, the style sheet and the script.
#pragma once

#include <cstddef>
#include <string_view>

struct CPageFile {
  std::string_view name;  // the file's name in pages/, such as "account.mustache"
  std::string_view content;
};

// Written at build time by pages/embed.cmake; constant for the program's life.
extern const CPageFile kPageFiles[];
extern const size_t kPageFileCount;
