// The pointer to the platform implementation in use.
#include "platform/platform.h"

namespace {
CPlatform g_platform;
}  // namespace

CPlatform& Platform() { return g_platform; }

void UsePlatform(const CPlatform& platform) { g_platform = platform; }
