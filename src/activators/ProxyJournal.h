// The proxy journal: what an activation replaces (ActivationChanges.h),
// kept in a file of the data folder from before the first change until
// every setting is back, so that a run that ended without switching back
// (killed, crashed, the machine off) is undone by the next one exactly: the
// user's own proxy comes back, not merely "no proxy".
//
// The file is text, one record a line, each field escaped so that it holds
// no blank (an empty field is "-"), and it ends with a check line over all
// the bytes before it. It is read as hostile input: a file that is larger
// than kMaxProxyJournalSize, damaged, cut short or out of order is refused
// whole, nothing of it is applied, and it is renamed aside for a person to
// look at.
//
// Putting back is careful in the same way: a setting goes back only where it
// still holds what the activation wrote (what a user or browser changed
// since stays), only into the files the activators find for this user now,
// and only lines the journal holds; a file nobody has written since goes
// back byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "activators/ActivationChanges.h"

// The journal's name in the data folder.
inline constexpr char kProxyJournalName[] = "ProxyJournal.dat";
// A larger journal is refused without being read.
inline constexpr std::size_t kMaxProxyJournalSize = std::size_t{96} << 20;
// More files than any user has: a journal naming more is refused.
inline constexpr std::size_t kMaxJournalFiles = 4096;

std::string EncodeProxyJournal(const TActivationChanges& Changes);
// False, with the reason, for text that is not one whole journal.
bool DecodeProxyJournal(std::string_view Text, TActivationChanges& Changes, std::string& Reason);

enum class TJournalRead {
  Missing,  // no journal
  Read,
  Refused,  // there, but not a journal to act on: Reason says why
};
TJournalRead ReadProxyJournal(const std::string& Path, TActivationChanges& Changes,
                              std::string& Reason);
// Replaces the journal atomically; raises EFileWriteError naming the file.
void WriteProxyJournal(const std::string& Path, const TActivationChanges& Changes);
// True when no journal is left at Path.
bool RemoveProxyJournal(const std::string& Path);
// Renames a refused journal to Path + ".refused-<date>-<time>[-n]"; the new
// name, or "" when it could not be moved.
std::string SetProxyJournalAside(const std::string& Path);

// Puts back what the changes name (see above), logging each step; returns
// what could not be put back because a write or read failed, for a later
// try. Other settings of those browsers are never touched.
TActivationChanges RestoreActivation(const TActivationChanges& Changes);

enum class TRecovery {
  NoJournal,
  Restored,    // everything the journal named is back; the journal is gone
  Incomplete,  // some writes failed: the journal keeps what is left
  Refused,     // damaged or too large: set aside, nothing applied
};
// What a program does with a journal an earlier run left at Path: restores
// it and removes it, keeps what could not be put back, or sets a refused
// one aside. Logs what it did.
TRecovery RecoverFromProxyJournal(const std::string& Path);
