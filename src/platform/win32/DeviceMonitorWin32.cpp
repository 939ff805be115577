#include "platform/DeviceMonitor.h"

#include <windows.h>
#include <dbt.h>
#include <initguid.h>
#include <winioctl.h>

#include <atomic>
#include <thread>

namespace platform {

// A hidden top-level window on a thread of its own: the system broadcasts
// WM_DEVICECHANGE to top-level windows (a message-only window gets none),
// and disk interfaces are asked for as well, so that a disk without a
// volume the system mounts is told too.
namespace {

// What the window tells, and how.
struct Listener {
    std::function<void(bool)> changed;
    int debounceMs = 250;
};

}  // namespace

struct DeviceMonitor::State {
    Listener listener;
    std::thread thread;
    std::atomic<DWORD> threadId {0};
    HWND window = nullptr;
};

namespace {

constexpr UINT_PTR kArrivalTimer = 1;
constexpr UINT_PTR kRemovalTimer = 2;

LRESULT CALLBACK MonitorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* state = reinterpret_cast<Listener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, message, wparam, lparam);
    }
    if (state == nullptr)
        return DefWindowProcW(window, message, wparam, lparam);
    if (message == WM_DEVICECHANGE && (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
        // A burst (a disk, then its volumes) is told once, after its last event.
        const bool arrived = wparam == DBT_DEVICEARRIVAL;
        SetTimer(window, arrived ? kArrivalTimer : kRemovalTimer, static_cast<UINT>(state->debounceMs), nullptr);
        return TRUE;
    }
    if (message == WM_TIMER && (wparam == kArrivalTimer || wparam == kRemovalTimer)) {
        KillTimer(window, wparam);
        if (state->changed)
            state->changed(wparam == kArrivalTimer);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

DeviceMonitor::DeviceMonitor(std::function<void(bool arrived)> changed, int debounceMs)
    : m_state(std::make_unique<State>())
{
    m_state->listener.changed = std::move(changed);
    m_state->listener.debounceMs = debounceMs;
}

DeviceMonitor::~DeviceMonitor()
{
    Stop();
}

bool DeviceMonitor::Start()
{
    if (m_state->thread.joinable())
        return true;
    State* state = m_state.get();
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ready == nullptr)
        return false;
    std::atomic<bool> ok {false};
    state->thread = std::thread([state, ready, &ok] {
        state->threadId = GetCurrentThreadId();
        WNDCLASSW wc {};
        wc.lpfnWndProc = MonitorProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuenlarDeviceMonitor";
        RegisterClassW(&wc);
        state->window = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                        wc.hInstance, &state->listener);
        if (state->window != nullptr) {
            DEV_BROADCAST_DEVICEINTERFACE_W filter {};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = GUID_DEVINTERFACE_DISK;
            RegisterDeviceNotificationW(state->window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            ok = true;
        }
        SetEvent(ready);
        if (state->window == nullptr)
            return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DestroyWindow(state->window);
        state->window = nullptr;
    });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    if (!ok) {
        state->thread.join();
        return false;
    }
    return true;
}

void DeviceMonitor::Stop()
{
    if (!m_state || !m_state->thread.joinable())
        return;
    PostThreadMessageW(m_state->threadId, WM_QUIT, 0, 0);
    m_state->thread.join();
}

}  // namespace platform
