#pragma once
// The largest field lengths the daemon's WAS requests carry; longer fields
// are refused rather than cut, so nothing half-written is ever stored.

#include <cstddef>

constexpr size_t kMaxUserId = 256;
constexpr size_t kMaxName = 256;
constexpr size_t kMaxTenant = 256;
constexpr size_t kMaxMessage = 8192;
constexpr size_t kMaxFileName = 2048;
constexpr size_t kMaxFileUrl = 4096;
constexpr size_t kMaxShortList = 255;     // join sequence and read lists of a save
constexpr size_t kMaxSendStateSeqs = 1023;  // join sequence list of a send-state update
constexpr size_t kMaxInviteContents = 8191;
constexpr size_t kMaxConn = 49;
constexpr size_t kMaxLoadMode = 16;
