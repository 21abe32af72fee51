#include "update/update_trust.h"

#include "common/ascii.h"

#include <algorithm>

namespace {

constexpr wchar_t MICROSOFT[] = L"Microsoft Corporation";
constexpr std::wstring_view WEBVIEW2_LOADER = L"webview2loader.dll";

bool isLoader(std::wstring_view path) {
    return std::equal(path.begin(), path.end(), WEBVIEW2_LOADER.begin(), WEBVIEW2_LOADER.end(),
                      [](wchar_t a, wchar_t b) { return lowerAscii(a) == b; });
}

bool samePublisher(const Publisher& signer, std::wstring_view commonName,
                   std::wstring_view organisation) {
    return signer.commonName == commonName && signer.organisation == organisation;
}

bool publisherAccepted(const StagedFile& file, const Publisher& running,
                       std::span<const PublisherName> accepted) {
    if (isLoader(file.path)) return file.signer.organisation == MICROSOFT;
    if (samePublisher(file.signer, running.commonName, running.organisation)) return true;
    return std::any_of(accepted.begin(), accepted.end(), [&](const PublisherName& name) {
        return samePublisher(file.signer, name.commonName, name.organisation);
    });
}

} // namespace

Signature readTrustResult(std::uint32_t result, bool revocationChecked, bool carriesCertificates) {
    switch (result) {
    case trust::OK:
        return Signature::Valid;
    case trust::NO_SIGNATURE:
        return carriesCertificates ? Signature::Invalid : Signature::None;
    case trust::REVOCATION_OFFLINE:
    case trust::NO_REVOCATION_CHECK:
    case trust::REVOCATION_FAILURE:
        return revocationChecked ? Signature::RetryWithoutRevocation : Signature::Invalid;
    default:
        return Signature::Invalid;
    }
}

ReleaseVerdict judgeRelease(const RunningProgram& running, const StagedRelease& release,
                            std::string_view offeredVersion,
                            std::span<const PublisherName> accepted) {
    const bool development = running.signature == Signature::None;
    if (!development && running.signature != Signature::Valid)
        return ReleaseVerdict::TamperedProgram;
    if (!release.readable) return ReleaseVerdict::Unreadable;
    if (!release.programVersion) return ReleaseVerdict::NoProgram;
    for (const StagedFile& file : release.files) {
        if (file.signature == Signature::None && !development) return ReleaseVerdict::Unsigned;
        if (file.signature != Signature::Valid && file.signature != Signature::None)
            return ReleaseVerdict::BadSignature;
        if (!development && !publisherAccepted(file, running.signer, accepted))
            return ReleaseVerdict::OtherPublisher;
    }
    const auto offered = parseVersion(offeredVersion);
    if (!offered || *offered != *release.programVersion) return ReleaseVerdict::OtherVersion;
    return ReleaseVerdict::Accepted;
}

bool carriesCertificateTable(std::string_view head) {
    const auto read = [&](std::size_t at, std::size_t size) -> std::optional<std::uint32_t> {
        if (at > head.size() || head.size() - at < size) return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = size; i-- > 0;)
            value = value << 8 | static_cast<unsigned char>(head[at + i]);
        return value;
    };
    constexpr std::uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
    constexpr std::size_t SECURITY_ENTRY = 4;
    const auto pe = read(0x3C, 4);
    if (!pe || read(*pe, 4) != PE_SIGNATURE) return false;
    const std::size_t optional = *pe + 4 + 20; // after the signature and the file header
    const auto magic = read(optional, 2);
    // The directory's place in the optional header: PE32+ (0x20B) or PE32 (0x10B).
    const std::size_t count = magic == 0x20B ? 108 : magic == 0x10B ? 92 : 0;
    if (count == 0) return false;
    const auto entries = read(optional + count, 4);
    if (!entries || *entries <= SECURITY_ENTRY) return false;
    const auto size = read(optional + count + 4 + SECURITY_ENTRY * 8 + 4, 4);
    return size && *size != 0;
}

std::optional<std::array<std::uint16_t, 4>> parseVersion(std::string_view text) {
    std::array<std::uint16_t, 4> parts{};
    std::size_t count = 0;
    for (std::size_t begin = 0;;) {
        const std::size_t dot = std::min(text.find('.', begin), text.size());
        if (count == parts.size() || dot == begin) return std::nullopt;
        unsigned long value = 0;
        for (char c : text.substr(begin, dot - begin)) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 0xFFFF) return std::nullopt;
        }
        parts[count++] = static_cast<std::uint16_t>(value);
        if (dot == text.size()) return parts;
        begin = dot + 1;
    }
}

const wchar_t* verdictText(ReleaseVerdict verdict) {
    switch (verdict) {
    case ReleaseVerdict::Accepted:
        return L"accepted";
    case ReleaseVerdict::TamperedProgram:
        return L"the running program's own signature does not verify";
    case ReleaseVerdict::Unreadable:
        return L"a file of the release could not be read";
    case ReleaseVerdict::NoProgram:
        return L"no Tolvin.exe";
    case ReleaseVerdict::Unsigned:
        return L"a program file is not signed";
    case ReleaseVerdict::BadSignature:
        return L"a signature does not verify";
    case ReleaseVerdict::OtherPublisher:
        return L"signed by another publisher";
    case ReleaseVerdict::OtherVersion:
        return L"Tolvin.exe is not the offered version";
    }
    return L"";
}
