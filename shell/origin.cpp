#include "shell/origin.h"

#include "common/ascii.h"

namespace {

std::wstring lowered(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = lowerAscii(c);
    return out;
}

bool allDigits(std::wstring_view text) {
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

} // namespace

std::wstring originOf(std::wstring_view address) {
    const size_t colon = address.find(L':');
    if (colon == std::wstring_view::npos) return {};
    const std::wstring scheme = lowered(address.substr(0, colon));
    std::wstring_view port;
    if (scheme == L"https")
        port = L"443";
    else if (scheme == L"http")
        port = L"80";
    else
        return {};
    std::wstring_view rest = address.substr(colon + 1);
    if (rest.substr(0, 2) != L"//") return {};
    rest.remove_prefix(2);
    std::wstring_view authority = rest.substr(0, rest.find_first_of(L"/?#\\"));
    const size_t at = authority.rfind(L'@');
    if (at != std::wstring_view::npos) authority.remove_prefix(at + 1);

    // A bracketed IPv6 host may hold colons of its own; the port follows it.
    const size_t hostEnd = authority.starts_with(L'[') ? authority.find(L']') : 0;
    if (hostEnd == std::wstring_view::npos) return {};
    std::wstring_view host = authority;
    const size_t portColon = authority.find(L':', hostEnd);
    if (portColon != std::wstring_view::npos) {
        host = authority.substr(0, portColon);
        const std::wstring_view given = authority.substr(portColon + 1);
        if (!allDigits(given) || given.size() > 5) return {};
        if (!given.empty()) port = given;
    }
    while (port.size() > 1 && port.front() == L'0') port.remove_prefix(1);
    if (host.empty() || std::stoul(std::wstring(port)) > 65535) return {};
    return scheme + L"://" + lowered(host) + L":" + std::wstring(port);
}

bool trustedSource(std::wstring_view source, std::wstring_view page, std::wstring_view service) {
    const std::wstring origin = originOf(source);
    return !origin.empty() && (origin == originOf(page) || origin == originOf(service));
}

NewWindow newWindowFor(const NewWindowRequest& request, std::wstring_view page,
                       std::wstring_view service) {
    const std::wstring_view address = request.address;
    const size_t colon = address.find(L':');
    if (colon == std::wstring_view::npos) return NewWindow::Refuse;
    const std::wstring scheme = lowered(address.substr(0, colon));
    const NewWindow outside = request.userInitiated ? NewWindow::OpenOutside : NewWindow::Refuse;
    if (scheme == L"mailto") return outside;
    // "blob:https://host/id": the origin that made it follows the scheme.
    if (scheme == L"blob")
        return trustedSource(address.substr(colon + 1), page, service) ? NewWindow::Runtime
                                                                       : NewWindow::Refuse;
    if (scheme == L"about") {
        const std::wstring_view rest = address.substr(colon + 1);
        const bool blank = lowered(rest.substr(0, rest.find_first_of(L"?#"))) == L"blank";
        return blank && request.userInitiated && trustedSource(request.sourceFrame, page, service)
                   ? NewWindow::Runtime
                   : NewWindow::Refuse;
    }
    if (originOf(address).empty()) return NewWindow::Refuse;
    return trustedSource(address, page, service) ? NewWindow::Runtime : outside;
}
