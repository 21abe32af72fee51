#include <windows.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "common/com_ref_win.h"
#include "notify/notify.h"
#include "notify/notify_win.h"
#include "shell/shell_state_win.h"

namespace {

int g_unread = 0;
bool g_buttonMade = false;       // the taskbar has announced the window's button
ComRef<ITaskbarList3> g_taskbar; // made once it has

// A red disc with the count in white, drawn at the size of a small icon, which
// is what the taskbar shows an overlay at. GDI writes no alpha, so every pixel it
// drew is made opaque afterwards.
HICON drawBadge(const std::wstring& text) {
    const int size = GetSystemMetrics(SM_CXSMICON);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP color = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    // An all-zero mask: the colour bitmap's alpha decides, and where alpha is not
    // honoured every pixel is drawn.
    const std::vector<BYTE> zeros(static_cast<size_t>((size + 15) / 16 * 2 * size), 0);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, zeros.data());
    HICON icon = nullptr;
    if (dc && color && mask && bits) {
        HGDIOBJ oldBitmap = SelectObject(dc, color);
        HBRUSH red = CreateSolidBrush(RGB(220, 38, 38));
        HGDIOBJ oldBrush = SelectObject(dc, red);
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
        Ellipse(dc, 0, 0, size + 1, size + 1);
        HFONT font = CreateFontW(-(size * 3 / 4), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                                 DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Segoe UI");
        HGDIOBJ oldFont = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        RECT all{0, 0, size, size};
        DrawTextW(dc, text.c_str(), -1, &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        GdiFlush();
        auto* pixel = static_cast<DWORD*>(bits);
        for (int i = 0; i < size * size; ++i)
            if (pixel[i] & 0x00FFFFFF) pixel[i] |= 0xFF000000;
        SelectObject(dc, oldFont);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldBitmap);
        DeleteObject(font);
        DeleteObject(red);
        ICONINFO parts{TRUE, 0, 0, mask, color};
        icon = CreateIconIndirect(&parts);
    }
    if (mask) DeleteObject(mask);
    if (color) DeleteObject(color);
    if (dc) DeleteDC(dc);
    return icon;
}

// The taskbar list answers only once the taskbar has made the button. It is
// made at the first change after that, too: the first announcement may come
// before the thread has joined its apartment.
void showOverlay() {
    if (!g_buttonMade) return;
    if (!g_taskbar) {
        CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                         g_taskbar.putVoid());
        if (g_taskbar && FAILED(g_taskbar->HrInit())) g_taskbar.reset();
        if (!g_taskbar) return;
    }
    // The taskbar keeps a copy of the icon it is given.
    HICON badge = g_unread > 0 ? drawBadge(badgeText(g_unread)) : nullptr;
    const std::wstring description = trayTip(g_unread);
    g_taskbar->SetOverlayIcon(g_shell.mainWindow, badge, badge ? description.c_str() : nullptr);
    if (badge) DestroyIcon(badge);
}

} // namespace

void setUnreadCount(int count) {
    if (count == g_unread) return;
    g_unread = count;
    // The record keeps the tip, so that the icon added after a taskbar restart
    // has it too.
    lstrcpynW(g_shell.tray.szTip, trayTip(count).c_str(), ARRAYSIZE(g_shell.tray.szTip));
    Shell_NotifyIconW(NIM_MODIFY, &g_shell.tray);
    showOverlay();
}

void onTaskbarButtonCreated() {
    g_buttonMade = true;
    showOverlay();
}
