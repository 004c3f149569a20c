// pello_dialog_probe.exe: looks at the running dialog for the Wine tests,
// as a person's eyes would, and never touches it (keys and clicks come from
// the X server, as a person's hands would give them).
//   rect ID      the control's rectangle on the screen: "x y width height"
//   text ID      the control's text (UTF-8)
//   checked ID   1 when the radio button is selected, else 0
//   focus        the id of the control that has the keyboard focus
//   box          "caption|text" of a message box open over the dialog, or nothing
//   about        the About box's caption, when it is open
//   okrect       the rectangle of the OK button of a box open over the dialog
//   shot FILE    the dialog's window as a 24-bit BMP file
// Exit code 0, or 1 when the dialog (or what was asked for) is not there.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const wchar_t* kCaption = L"Korvan Setting Serial Number Tool V1.00";

std::string Utf8(const wchar_t* text)
{
    char out[1024] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

struct BoxSearch {
    HWND owner;
    HWND found = nullptr;
};

// A top-level dialog (#32770) owned by the main dialog: a message box or the About box.
BOOL CALLBACK FindOwned(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 63);
    if (hwnd != search->owner && ::GetWindow(hwnd, GW_OWNER) == search->owner && std::wstring(cls) == L"#32770" &&
        ::IsWindowVisible(hwnd)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND OwnedDialog(HWND dlg)
{
    BoxSearch search {dlg};
    ::EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK FindStatic(HWND hwnd, LPARAM param)
{
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 63);
    wchar_t text[512] = {};
    ::GetWindowTextW(hwnd, text, 511);
    if (std::wstring(cls) == L"Static" && text[0] != 0) {
        *reinterpret_cast<std::wstring*>(param) = text;
        return FALSE;
    }
    return TRUE;
}

bool Shot(HWND hwnd, const char* path)
{
    RECT r {};
    ::GetWindowRect(hwnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    HBITMAP bmp = ::CreateCompatibleBitmap(screen, w, h);
    ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    BITMAPINFOHEADER info {};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    const int stride = (w * 3 + 3) & ~3;
    std::string pixels(static_cast<size_t>(stride) * h, '\0');
    ::GetDIBits(mem, bmp, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    BITMAPFILEHEADER file {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(pixels.data(), 1, pixels.size(), out);
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 1;
    const std::string what = argv[1];
    const HWND dlg = ::FindWindowW(L"#32770", kCaption);
    if (dlg == nullptr) return 1;
    const int id = argc > 2 ? std::atoi(argv[2]) : 0;
    if (what == "rect") {
        RECT r {};
        if (!::GetWindowRect(::GetDlgItem(dlg, id), &r)) return 1;
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    } else if (what == "text") {
        wchar_t text[512] = {};
        ::GetDlgItemTextW(dlg, id, text, 511);
        std::printf("%s\n", Utf8(text).c_str());
    } else if (what == "checked") {
        std::printf("%d\n", ::IsDlgButtonChecked(dlg, id) == BST_CHECKED ? 1 : 0);
    } else if (what == "focus") {
        GUITHREADINFO info {};
        info.cbSize = sizeof info;
        if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(dlg, nullptr), &info) || info.hwndFocus == nullptr) return 1;
        std::printf("%d\n", ::GetDlgCtrlID(info.hwndFocus));
    } else if (what == "box" || what == "about") {
        const HWND box = OwnedDialog(dlg);
        if (box == nullptr) return 1;
        wchar_t caption[256] = {};
        ::GetWindowTextW(box, caption, 255);
        std::wstring text;
        ::EnumChildWindows(box, FindStatic, reinterpret_cast<LPARAM>(&text));
        std::printf("%s|%s\n", Utf8(caption).c_str(), Utf8(text.c_str()).c_str());
    } else if (what == "okrect") {
        RECT r {};
        const HWND box = OwnedDialog(dlg);
        if (box == nullptr || !::GetWindowRect(::GetDlgItem(box, IDOK), &r)) return 1;
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    } else if (what == "shot") {
        return argc > 2 && Shot(dlg, argv[2]) ? 0 : 1;
    } else {
        return 1;
    }
    return 0;
}
