// Tag questions to the host and the artist/title guess from a file path.
#include "reporter/track_info.h"

#include <cstring>
#include <string_view>

#include "platform/platform.h"

char TagAnswerBuffer[kTagAnswerSize];

const char* GetTagValue(const char* path, const char* tag_name) {
  ExtendedFileInfoRequest request{path, tag_name, TagAnswerBuffer,
                                  static_cast<std::int32_t>(kTagAnswerSize)};
  const std::intptr_t answer =
      Platform().host->AskHost(reinterpret_cast<std::uintptr_t>(&request), kIpcGetExtendedFileInfo);
  if (answer == 0) return nullptr;
  // A host that fills the whole buffer without a terminator must not make us read past it.
  TagAnswerBuffer[kTagAnswerSize - 1] = '\0';
  return TagAnswerBuffer;
}

void GuessTagFromFileName(const char* path, const char* tag_name, std::string& out) {
  const std::string_view text = path != nullptr ? std::string_view(path) : std::string_view();
  const std::size_t backslash = text.rfind('\\');
  const std::size_t start = backslash == std::string_view::npos ? 0 : backslash + 1;
  const std::size_t dash = text.rfind('-');

  if (std::strcmp(tag_name, kTagArtist) == 0) {
    if (dash == std::string_view::npos || dash <= start) {
      out.clear();
    } else {
      out.assign(text.data() + start, dash - start);
    }
    return;
  }
  if (std::strcmp(tag_name, kTagTitle) == 0) {
    const std::size_t mp3 = text.find(".mp3");
    const std::size_t title_start = dash == std::string_view::npos ? 0 : dash + 1;
    if (mp3 == std::string_view::npos || mp3 <= title_start) {
      out.clear();
    } else {
      out.assign(text.data() + title_start, mp3 - title_start);
    }
    return;
  }
  out.assign("0");
}

std::string GuessTagFromFileName(const char* path, const char* tag_name) {
  std::string out;
  GuessTagFromFileName(path, tag_name, out);
  return out;
}
