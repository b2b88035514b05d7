// How an account's signature looks, as the account page saves it.
#pragma once

#include <cstdint>
#include <string>

struct CAccountSettings {
  std::string layout = "card";  // a template's name
  std::string theme = "dark";
  int32_t accent = -1;  // 0xRRGGBB, or -1 for the theme's own
  bool showAlbum = true;
  bool showYear = true;
  bool showGenre = true;
};
