// Lets one window message through the system's window-message filter, so the
// single-instance signal reaches an instance running at another privilege
// level.
#pragma once

#include <cstdint>
#include <functional>

// 1 adds the message to the allowed set.
inline constexpr std::uint16_t MSGFLT_ADD = 1;

// A filter: the filter's result for (Message, Action), or 0 when the system
// has no such filter.
using TWindowMessageFilter =
    std::function<std::uint32_t(std::uint32_t Message, std::uint16_t Action)>;

// The system's filter, looked up when first asked for; systems older than
// the filter lack the export.
TWindowMessageFilter SystemWindowMessageFilter();
// A filter that calls `Proc`, a stdcall function of two 32-bit arguments
// (nullptr: a system without the filter).
TWindowMessageFilter WindowMessageFilterFrom(void* Proc);

// Through the system's filter.
std::uint32_t AllowWindowMessage(std::uint32_t Message, std::uint16_t Action);
