// Lets one window message through the system's window-message filter, so the
// single-instance signal reaches an instance running at another privilege
// level.
#pragma once

#include <cstdint>

// 1 adds the message to the allowed set.
inline constexpr std::uint16_t MSGFLT_ADD = 1;

// The filter's result, or 0 when the system has no such filter.
std::uint32_t AllowWindowMessage(std::uint32_t Message, std::uint16_t Action);

// Tests replace the looked-up filter entry, a stdcall function of two 32-bit
// arguments (nullptr: a system without the filter).
void SetWindowMessageFilterForTesting(void* proc);
