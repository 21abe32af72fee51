#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shell/deployment.h"

// Whether a staged release may replace the running program. The Windows side
// reads each program or library in "new" (its Authenticode answer and signer)
// and the staged Tolvin.exe's fixed file version; these rules decide. Nothing
// here touches a file.

// The WinVerifyTrust answers this module tells apart (HRESULTs as the platform
// headers define them; the Windows side checks that they agree).
namespace trust {
inline constexpr std::uint32_t OK = 0;
inline constexpr std::uint32_t NO_SIGNATURE = 0x800B0100;        // TRUST_E_NOSIGNATURE
inline constexpr std::uint32_t REVOKED = 0x80092010;             // CRYPT_E_REVOKED
inline constexpr std::uint32_t NO_REVOCATION_CHECK = 0x80092012; // CRYPT_E_NO_REVOCATION_CHECK
inline constexpr std::uint32_t REVOCATION_OFFLINE = 0x80092013;  // CRYPT_E_REVOCATION_OFFLINE
inline constexpr std::uint32_t REVOCATION_FAILURE = 0x800B010E;  // CERT_E_REVOCATION_FAILURE
} // namespace trust

enum class Signature {
    Valid,
    None,
    Invalid,
    // No revocation server answered: ask once more without revocation checks, so
    // that a network that filters those servers does not block every update.
    RetryWithoutRevocation,
};

// What one WinVerifyTrust answer means; `revocationChecked` is false for the
// second question, whose answer is final. WinVerifyTrust answers "no signature"
// also for a signature it cannot read, so that answer counts as unsigned only for
// a file without a certificate table (`carriesCertificates`): a damaged
// signature must never pass as a build from source.
Signature readTrustResult(std::uint32_t result, bool revocationChecked, bool carriesCertificates);

// Whether a Windows program's headers (its first bytes, 4 KiB are plenty) name
// an Authenticode certificate table: the security entry of the optional
// header's data directory has a size.
bool carriesCertificateTable(std::string_view head);

// A signer certificate's subject common name and organisation.
struct Publisher {
    std::wstring commonName;
    std::wstring organisation;
};

// What the Windows side read from one program or library (a file that begins
// with "MZ") in "new".
struct StagedFile {
    std::wstring path; // below "new", backslashes, no leading one
    Signature signature = Signature::Invalid;
    Publisher signer; // when the signature is valid
};

// The running Tolvin.exe and the staged release as read.
struct RunningProgram {
    Signature signature = Signature::Invalid;
    Publisher signer;
};
struct StagedRelease {
    bool readable = false; // every entry of "new" was read (no link, no locked file)
    std::vector<StagedFile> files;
    // The staged Tolvin.exe's fixed file version; none without that file or its
    // version resource.
    std::optional<std::array<std::uint16_t, 4>> programVersion;
};

enum class ReleaseVerdict {
    Accepted,
    TamperedProgram, // the running program's own signature fails: nothing is accepted
    Unreadable,
    NoProgram,
    Unsigned,
    BadSignature,
    OtherPublisher,
    OtherVersion,
};

// What a refusal is, for the log.
const wchar_t* verdictText(ReleaseVerdict verdict);

// Our files carry the running program's publisher (same common name and
// organisation, so a renewed certificate passes) or one of `accepted`; the
// WebView2 loader at the top level carries Microsoft's. A running program
// without any signature (a build from source) skips the publisher rule and
// takes unsigned files; the version rule holds for every build.
ReleaseVerdict judgeRelease(const RunningProgram& running, const StagedRelease& release,
                            std::string_view offeredVersion,
                            std::span<const PublisherName> accepted = ACCEPTED_PUBLISHERS);

// One to four dot-separated numbers of up to 65535, a missing part read as 0
// ("2.1.2" is 2.1.2.0); none for anything else.
std::optional<std::array<std::uint16_t, 4>> parseVersion(std::string_view text);
