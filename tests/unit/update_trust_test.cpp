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
        EXPECT_EQ(readTrustResult(c.result, true), c.first);
        EXPECT_EQ(readTrustResult(c.result, false), c.second);
    }
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
