// Bridge lines: the checker for what a user pastes (or what Nimbra ships),
// and the engine's settings built from the checked fields. Only obfs4 and
// plain bridges are known; nothing of the user's text reaches the engine
// unparsed, so a line can never add a setting of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Bounds of what the checker reads. An obfs4 line with an IPv6 address is
// under 200 characters; the engine would not use more bridges than this.
inline constexpr std::size_t kMaxBridgeLineLength = 512;
inline constexpr int kMaxBridgeLines = 64;
// An obfs4 certificate: 52 bytes in unpadded base64.
inline constexpr std::size_t kObfs4CertLength = 70;
inline constexpr std::size_t kFingerprintLength = 40;

// What is wrong with a line (or the text). Each has an English text
// (BridgeFaultText) and a catalogue name (BridgeFaultKey) of its own.
enum class TBridgeFault {
  None,
  NoLines,           // bridges asked for, but no line given
  TooManyLines,      // more than kMaxBridgeLines
  LineTooLong,       // more than kMaxBridgeLineLength characters
  ControlCharacter,  // a control character inside a line (a lone CR, a NUL...)
  NotAscii,          // a character outside 7-bit text
  CommentSign,       // '#', which would end the line for the engine
  UnknownTransport,  // neither obfs4 nor a plain address
  MissingAddress,
  BadAddress,  // not IPv4 nor bracketed IPv6
  BadPort,     // not 1 to 65535
  MissingFingerprint,
  BadFingerprint,  // not 40 hexadecimal digits
  MissingCert,
  BadCert,  // not kObfs4CertLength base64 characters
  MissingIatMode,
  BadIatMode,       // not 0, 1 or 2
  UnknownArgument,  // a key=value the transport does not take, or one twice
  ExtraWord,        // anything after the last field
};

// One checked bridge. Everything the engine gets is rebuilt from these.
struct TBridgeLine {
  std::string Transport;    // "obfs4", or empty for a plain bridge
  std::string Host;         // dotted IPv4, or IPv6 with its brackets
  std::uint16_t Port = 0;   // 1 to 65535
  std::string Fingerprint;  // 40 upper-case hex digits; may be empty for a plain bridge
  std::string Cert;         // obfs4 only
  int IatMode = -1;         // obfs4 only: 0, 1 or 2

  // "obfs4 HOST:PORT FINGERPRINT cert=... iat-mode=N" (or "HOST:PORT
  // [FINGERPRINT]"), the way the engine's Bridge setting takes it.
  std::string Text() const;
  bool operator==(const TBridgeLine&) const = default;
};

struct TBridgeCheck {
  TBridgeFault Fault = TBridgeFault::None;
  int LineNumber = 0;  // the offending line, counted from 1 over all lines; 0: the text
  std::vector<TBridgeLine> Lines;

  bool Ok() const { return Fault == TBridgeFault::None; }
  // "Line 3: the port must be a number from 1 to 65535", in English (the
  // log's and the tests' wording; windows use the catalogue).
  std::string Message() const;
};

std::string BridgeFaultText(TBridgeFault Fault);
// The catalogue constant of a fault's text, e.g. "Bridge_bad_port".
const char* BridgeFaultKey(TBridgeFault Fault);

// Checks one line; blanks at either end are ignored and a leading "Bridge"
// word is allowed, as people copy lines out of settings files.
TBridgeFault CheckBridgeLine(std::string_view Line, TBridgeLine& Out);

// Checks a whole text, lines ended by LF or CR LF; blank lines are skipped.
// The first bad line stops the check and no line is returned then.
TBridgeCheck CheckBridgeLines(std::string_view Text);

// The published default obfs4 bridges, checked (a bad entry would be
// dropped and logged; the tests keep the table clean).
const std::vector<TBridgeLine>& BuiltInObfs4Bridges();
