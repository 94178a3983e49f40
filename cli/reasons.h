// Why a file cannot be loaded or saved, and what a file that loads needed
// forgiving, in the words a user reads. The plug-in only says 0 or 1; the
// host asks the same build's core (Describe for a load, CheckSave for a save:
// the very rules the plug-in runs) and never restates those rules itself.
#pragma once

#include <cstdint>
#include <string>

#include "bmp/read/describe.h"
#include "bmp/write/writer.h"
#include "shell/outcome.h"

namespace tessaly_cli {

// Why `path` cannot be opened as a file to read, in the system's words
// ("No such file or directory", "Is a directory", "Permission denied"): for
// files the host reads itself (batch lists, pictures).
std::string OpenFailure(const std::string& path);

// An outcome in words: the system's, the same on every build, when it
// carries a system error; else the rule's.
std::string OutcomeText(const tessaly::Outcome& outcome);

// Why the plug-in refused to load `path`: the reader's rule or system error,
// else `fallback`. With `notAnyType`, a refusal that is not about opening the
// file is that text (a file that is not a BMP, for a host reading other types too).
std::string LoadExplanation(const std::string& path, const std::string& fallback, const char* notAnyType = nullptr);
// The same from a description already made.
std::string LoadExplanation(const tessaly::BmpDescription& d, const std::string& fallback,
                            const char* notAnyType = nullptr);

// Why a save of `request` to `path` failed, by the save's own checks; `fallback` when they pass now.
std::string SaveExplanation(const std::string& path, const tessaly::SaveRequest& request, const std::string& fallback);

// The damage a file that loads has, most serious first, as clauses joined by
// "; " (with the unused-alpha note, which changes what is shown); "" for none.
std::string DamageClauses(const tessaly::BmpDescription& d);

// Names a plug-in that is not this host's own build: explanations then come
// from this host's reader, and the first one says so.
void SetForeignPlugin(const std::string& path);

}  // namespace tessaly_cli
