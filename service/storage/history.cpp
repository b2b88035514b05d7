// Names of listen sources.
#include "storage/history.h"

const char* ListenSourceName(CListen::ESource source) {
  switch (source) {
    case CListen::ESource::kListenBrainz:
      return "listenbrainz";
    case CListen::ESource::kAudioscrobbler:
      return "audioscrobbler";
    case CListen::ESource::kPlugin:
      break;
  }
  return "velk";
}
