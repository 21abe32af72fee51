#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "common/handle_win.h"
#include "update/update_trust_win.h"

static_assert(trust::NO_SIGNATURE == static_cast<std::uint32_t>(TRUST_E_NOSIGNATURE));
static_assert(trust::REVOKED == static_cast<std::uint32_t>(CRYPT_E_REVOKED));
static_assert(trust::NO_REVOCATION_CHECK ==
              static_cast<std::uint32_t>(CRYPT_E_NO_REVOCATION_CHECK));
static_assert(trust::REVOCATION_OFFLINE == static_cast<std::uint32_t>(CRYPT_E_REVOCATION_OFFLINE));
static_assert(trust::REVOCATION_FAILURE == static_cast<std::uint32_t>(CERT_E_REVOCATION_FAILURE));

namespace {

// One question about a file's embedded Authenticode signature, with no user
// interface; the first one checks revocation for the whole chain but its root.
std::uint32_t askWinVerifyTrust(const std::wstring& path, bool checkRevocation) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = checkRevocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags =
        checkRevocation ? WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT : WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return static_cast<std::uint32_t>(
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
}

// The first bytes of a file, for its headers; empty when it cannot be read.
std::string fileHead(const std::wstring& path) {
    OwnedHandle file;
    file.assign(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string head(4096, '\0');
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr))
        got = 0;
    head.resize(got);
    return head;
}

Signature checkSignature(const std::wstring& path) {
    const bool certificates = carriesCertificateTable(fileHead(path));
    const Signature first = readTrustResult(askWinVerifyTrust(path, true), true, certificates);
    if (first != Signature::RetryWithoutRevocation) return first;
    return readTrustResult(askWinVerifyTrust(path, false), false, certificates);
}

std::wstring subjectAttribute(PCCERT_CONTEXT certificate, const char* oid) {
    void* type = const_cast<char*>(oid);
    const DWORD size = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);
    if (size <= 1) return {};
    std::wstring name(size, L'\0');
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, name.data(), size);
    name.resize(size - 1);
    return name;
}

// The subject of the certificate that signed the file's embedded signature.
Publisher readSigner(const std::wstring& path) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, nullptr, nullptr, nullptr, &store, &message, nullptr))
        return {};
    Publisher signer;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
        auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
        if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, info, &size)) {
            CERT_INFO wanted{};
            wanted.Issuer = info->Issuer;
            wanted.SerialNumber = info->SerialNumber;
            if (PCCERT_CONTEXT certificate =
                    CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                               CERT_FIND_SUBJECT_CERT, &wanted, nullptr)) {
                signer = {subjectAttribute(certificate, szOID_COMMON_NAME),
                          subjectAttribute(certificate, szOID_ORGANIZATION_NAME)};
                CertFreeCertificateContext(certificate);
            }
        }
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return signer;
}

std::optional<std::array<std::uint16_t, 4>> fixedFileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<std::uint64_t> data(size / sizeof(std::uint64_t) + 1);
    void* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", &fixed, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (info->dwSignature != 0xFEEF04BD) return std::nullopt;
    return std::array<std::uint16_t, 4>{
        HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
        LOWORD(info->dwFileVersionLS)};
}

// A Windows program or library is told by its first two bytes, whatever its name.
bool isProgram(const std::wstring& path, bool& readable) {
    OwnedHandle file;
    file.assign(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    char head[2] = {};
    DWORD got = 0;
    readable = file && ReadFile(file.get(), head, 2, &got, nullptr);
    return readable && got == 2 && head[0] == 'M' && head[1] == 'Z';
}

// Reads every entry below `folder`, `below` being its path under "new"; false
// at the first entry that cannot be read, or that is a link.
bool readFolder(const std::wstring& folder, const std::wstring& below, StagedRelease& release) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool readable = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L'\\' + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            readable = false;
        else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            readable = readFolder(path, below + name + L'\\', release);
        else if (isProgram(path, readable)) {
            StagedFile file{below + name, checkSignature(path), {}};
            if (file.signature == Signature::Valid) file.signer = readSigner(path);
            release.files.push_back(std::move(file));
        }
    } while (readable && FindNextFileW(search, &entry));
    FindClose(search);
    return readable;
}

void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L'\\' + name;
            const DWORD attributes = entry.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                removeTree(path);
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(path.c_str()); // the link itself, not where it leads
            else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

ReleaseVerdict verifyStagedRelease(const std::wstring& stage, const std::wstring& runningProgram,
                                   std::string_view offeredVersion) {
    RunningProgram running{checkSignature(runningProgram), {}};
    if (running.signature == Signature::Valid) running.signer = readSigner(runningProgram);
    StagedRelease release;
    const std::wstring folder = stage + L"\\new";
    release.readable = readFolder(folder, L"", release);
    release.programVersion = fixedFileVersion(folder + L"\\Tolvin.exe");
    return judgeRelease(running, release, offeredVersion);
}

void removeStagedRelease(const std::wstring& stage) {
    removeTree(stage + L"\\new");
    DeleteFileW((stage + L"\\version").c_str());
}
