#include "app/win/run_update_window.h"

#include <filesystem>
#include <vector>

#include "app/win/png_file.h"
#include "platform/win_text.h"

namespace zolt {

namespace {

std::string Utf8(const std::wstring& text) {
    return ToUtf8(FromSystemWide(text.data(), text.size()));
}

// Line feeds inside a field are shown as "\n", so that each field stays one line.
std::string OneLine(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void WriteStandardOutput(const std::string& text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::string DescribeWindowState(const WindowState& state) {
    std::string out;
    out += "title: " + OneLine(state.title) + "\n";
    out += "status: " + OneLine(state.status) + "\n";
    out += "info: " + OneLine(state.info) + "\n";
    out += "progress: " + std::to_string(state.progress) + "\n";
    const bool enabled = state.updateEnabled && state.deviceInfoEnabled;
    const bool disabled = !state.updateEnabled && !state.deviceInfoEnabled;
    out += std::string("actions: ") +
           (enabled    ? "enabled"
            : disabled ? "disabled"
                       : "mixed") +
           "\n";
    return out;
}

bool SaveWindowScreenshot(HWND window, const std::string& pathUtf8) {
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    // What is drawn reaches the screen when the thread goes idle: let it, for a moment.
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < 300) {
        MSG msg{};
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    ::GdiFlush();
    RECT rect{};
    if (!::GetWindowRect(window, &rect)) {
        return false;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr && bits != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        ok = ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
        ::GdiFlush();
        ::SelectObject(memory, old);
    }
    std::vector<uint8_t> rgb;
    if (ok) {
        const auto* bgra = static_cast<const uint8_t*>(bits);
        const std::size_t pixels =
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        rgb.resize(pixels * 3);
        for (std::size_t i = 0; i < pixels; ++i) {
            rgb[i * 3] = bgra[i * 4 + 2];
            rgb[i * 3 + 1] = bgra[i * 4 + 1];
            rgb[i * 3 + 2] = bgra[i * 4];
        }
    }
    if (bitmap != nullptr) {
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    if (!ok) {
        return false;
    }
    const std::u8string path(pathUtf8.begin(), pathUtf8.end());
    return win::WritePngFile(std::filesystem::path(path), static_cast<uint32_t>(width),
                             static_cast<uint32_t>(height), rgb);
}

int RunUpdateWindow(Procedure update, Procedure deviceInfo, const WindowOptions& options) {
    const std::string& press = options.autoPress;
    if (!press.empty() && press != "update" && press != "device-info") {
        WriteStandardOutput("unknown button to press: " + press + "\n");
        ::ExitProcess(1);
    }
    bool screenshotFailed = false;
    auto prepare = [&](CZOLTUpdateDlg& dialog) {
        auto finish = [&dialog, &options, &screenshotFailed] {
            WriteStandardOutput(DescribeWindowState(ReadWindowState(dialog.Handle())));
            if (!options.screenshotPath.empty() &&
                !SaveWindowScreenshot(dialog.Handle(), options.screenshotPath)) {
                screenshotFailed = true;
            }
            dialog.EndDialog(IDCANCEL);
        };
        if (!press.empty()) {
            dialog.SetProcedureFinishedHandler(finish);
        } else if (!options.screenshotPath.empty()) {
            dialog.SetShownHandler(finish);
        }
    };
    CZOLTUpdateApp app(std::move(update), std::move(deviceInfo), [&](CZOLTUpdateDlg& dialog) {
        prepare(dialog);
        if (!press.empty()) {
            dialog.SetAutoPress(press == "update" ? CZOLTUpdateDlg::Button::Update
                                                  : CZOLTUpdateDlg::Button::DeviceInfo);
        }
    });
    const int code = app.Run();
    ::ExitProcess(static_cast<UINT>(code != 0 || screenshotFailed ? 1 : 0));
}

}  // namespace zolt
