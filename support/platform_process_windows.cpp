#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <timeapi.h>

#include <string>

#include "support/platform_process.h"

namespace zorbel {
namespace detail {

unsigned long process_id() { return static_cast<unsigned long>(::GetCurrentProcessId()); }

void name_this_thread(const char* name) {
    if (name == nullptr || *name == 0) return;
    // SetThreadDescription came with Windows 10 (1607); looked up at run time
    // so that the DLL still loads where it is missing.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (set_description == nullptr) return;
    const std::string kept = std::string(name).substr(0, 15);
    std::wstring wide(kept.begin(), kept.end());  // thread names are ASCII
    set_description(::GetCurrentThread(), wide.c_str());
}

// Windows timers already end waits at the resolution asked for below.
void keep_exact_time_on_this_thread() {}

void begin_fine_timer_resolution() { ::timeBeginPeriod(1); }

void end_fine_timer_resolution() { ::timeEndPeriod(1); }

}  // namespace detail
}  // namespace zorbel
