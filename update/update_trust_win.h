#pragma once

#include <string>
#include <string_view>

#include "update/update_trust.h"

// Reads the staged release in `stage`\new and the running program at
// `runningProgram` (signatures, signers, the staged Tolvin.exe's version) and
// judges it against `offeredVersion`. Blocking: a chain or revocation check can
// take seconds, so it runs on the check runner thread only.
ReleaseVerdict verifyStagedRelease(const std::wstring& stage, const std::wstring& runningProgram,
                                   std::string_view offeredVersion);

// Removes "new" (never following a link out of it) and "version" from the
// stage folder, ignoring what cannot be removed.
void removeStagedRelease(const std::wstring& stage);
