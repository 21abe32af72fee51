#include "update/update_trust.h"

#include <gtest/gtest.h>

namespace {

using enum Signature;
using enum ReleaseVerdict;

TEST(UpdateTrust, OnlyAnUnreachableRevocationServerEarnsASecondQuestion) {
    struct Case {
        std::uint32_t result;
        Signature first, second;
    };
    const Case cases[] = {
        {trust::OK, Valid, Valid},
        {trust::NO_SIGNATURE, None, None},
        {trust::REVOKED, Invalid, Invalid},
        {trust::REVOCATION_OFFLINE, RetryWithoutRevocation, Invalid},
        {trust::NO_REVOCATION_CHECK, RetryWithoutRevocation, Invalid},
        {trust::REVOCATION_FAILURE, RetryWithoutRevocation, Invalid},
        {0x80096010, Invalid, Invalid}, // TRUST_E_BAD_DIGEST
        {0x800B0109, Invalid, Invalid}, // CERT_E_UNTRUSTEDROOT
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.result);
        EXPECT_EQ(readTrustResult(c.result, true, false), c.first);
        EXPECT_EQ(readTrustResult(c.result, false, false), c.second);
    }
    // A file with a certificate table that WinVerifyTrust calls unsigned has a
    // signature it could not read.
    EXPECT_EQ(readTrustResult(trust::NO_SIGNATURE, true, true), Invalid);
}

// Headers with the security entry's size at `size`, PE32+ or PE32, as a linker
// writes them after a 0x80-byte DOS stub.
std::string headers(std::uint16_t magic, std::uint32_t entries, std::uint32_t size) {
    std::string head(0x400, '\0');
    const auto put = [&](std::size_t at, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) head[at + i] = static_cast<char>(value >> (8 * i));
    };
    put(0, 0x5A4D, 2);
    put(0x3C, 0x80, 4);
    put(0x80, 0x00004550, 4);
    const std::size_t optional = 0x80 + 24;
    put(optional, magic, 2);
    const std::size_t count = magic == 0x20B ? 108 : 92;
    put(optional + count, entries, 4);
    put(optional + count + 4 + 4 * 8 + 4, size, 4);
    return head;
}

TEST(UpdateTrust, ACertificateTableIsReadFromEitherKindOfHeaders) {
    EXPECT_TRUE(carriesCertificateTable(headers(0x20B, 16, 0x2A8)));
    EXPECT_TRUE(carriesCertificateTable(headers(0x10B, 16, 0x2A8)));
    EXPECT_FALSE(carriesCertificateTable(headers(0x20B, 16, 0)));
    EXPECT_FALSE(carriesCertificateTable(headers(0x20B, 4, 0x2A8))) << "no security entry";
    EXPECT_FALSE(carriesCertificateTable(headers(0x107, 16, 0x2A8))) << "unknown magic";
    EXPECT_FALSE(carriesCertificateTable(headers(0x20B, 16, 0x2A8).substr(0, 0x100)))
        << "cut short";
    EXPECT_FALSE(carriesCertificateTable("MZ"));
}

TEST(UpdateTrust, VersionsReadAMissingPartAsZero) {
    using V = std::array<std::uint16_t, 4>;
    EXPECT_EQ(parseVersion("2.1.2"), (V{2, 1, 2, 0}));
    EXPECT_EQ(parseVersion("2.1.2.0"), parseVersion("2.1.2"));
    EXPECT_EQ(parseVersion("3"), (V{3, 0, 0, 0}));
    EXPECT_EQ(parseVersion("65535.0.0.7"), (V{65535, 0, 0, 7}));
    for (const char* bad : {"", "2..1", "2.1.", ".2", "1.2.3.4.5", "2.65536", "2.1b", "-1.2"})
        EXPECT_EQ(parseVersion(bad), std::nullopt) << bad;
}

TEST(UpdateTrust, EveryFileCarriesTheRightPublisherAndTheProgramTheOfferedVersion) {
    const Publisher a{L"Tolvin", L"Tolvin Ltd"}, renamed{L"Tolvin", L"Tolvin Oy"},
        microsoft{L"Microsoft Corporation", L"Microsoft Corporation"};
    const PublisherName acceptedRename[] = {{L"Tolvin", L"Tolvin Oy"}};
    const StagedFile program{L"Tolvin.exe", Valid, a},
        loader{L"WebView2Loader.dll", Valid, microsoft};
    struct Case {
        const char* what;
        Signature running;
        std::vector<StagedFile> files;
        ReleaseVerdict verdict;
        std::span<const PublisherName> accepted = {};
        const char* offered = "2.1.2";
        bool readable = true;
    };
    const Case cases[] = {
        {"ours and Microsoft's", Valid, {program, loader, {L"lib\\x.dat", Valid, a}}, Accepted},
        {"four-part offer", Valid, {program}, Accepted, {}, "2.1.2.0"},
        {"other version", Valid, {program}, OtherVersion, {}, "2.1.3"},
        {"other publisher", Valid, {{L"Tolvin.exe", Valid, renamed}}, OtherPublisher},
        {"rename rolled out", Valid, {{L"Tolvin.exe", Valid, renamed}}, Accepted, acceptedRename},
        {"same name, other organisation",
         Valid,
         {{L"Tolvin.exe", Valid, {L"Tolvin", L""}}},
         OtherPublisher},
        {"our loader", Valid, {program, {L"webview2loader.DLL", Valid, a}}, OtherPublisher},
        {"Microsoft's program", Valid, {{L"Tolvin.exe", Valid, microsoft}}, OtherPublisher},
        {"loader name in a subfolder",
         Valid,
         {program, {L"x\\WebView2Loader.dll", Valid, microsoft}},
         OtherPublisher},
        {"unsigned file", Valid, {program, {L"lib\\x.dll", None, {}}}, Unsigned},
        {"broken file", Valid, {program, {L"x.dll", Invalid, a}}, BadSignature},
        {"unreadable", Valid, {program}, Unreadable, {}, "2.1.2", false},
        {"tampered running program", Invalid, {program}, TamperedProgram},
        {"development: anyone or no one",
         None,
         {{L"Tolvin.exe", None, {}}, {L"x.dll", Valid, renamed}},
         Accepted},
        {"development: broken file", None, {program, {L"x.dll", Invalid, {}}}, BadSignature},
        {"development: other version", None, {{L"Tolvin.exe", None, {}}}, OtherVersion, {}, "2.1"},
    };
    for (const Case& c : cases) {
        StagedRelease release{c.readable, c.files, parseVersion("2.1.2")};
        EXPECT_EQ(judgeRelease({c.running, a}, release, c.offered, c.accepted), c.verdict)
            << c.what;
    }
    EXPECT_EQ(judgeRelease({Valid, a}, {true, {loader}, std::nullopt}, "2.1.2"), NoProgram);
}

} // namespace
