// The zorbel tool on Windows, started as a user starts it (through
// CreateProcess, beside this program): replacing a file that is there,
// paths that start with "/", and a reader that went away.
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "zorbel/zorbel.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string tool() {
    char program[MAX_PATH];
    ::GetModuleFileNameA(nullptr, program, MAX_PATH);
    return (fs::path(program).parent_path() / "zorbel.exe").string();
}

// Runs the tool with `args` in `directory`, its standard output to `out`
// (or its own), standard error to a file; the exit status, or -1.
DWORD run(const std::string& args, const fs::path& directory, HANDLE out = INVALID_HANDLE_VALUE) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE err = ::CreateFileA((directory / "tool.err").string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nul = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = out == INVALID_HANDLE_VALUE ? nul : out;
    startup.hStdError = err;
    std::string command = "\"" + tool() + "\" " + args;
    PROCESS_INFORMATION process{};
    const std::string cwd = directory.string();
    DWORD status = static_cast<DWORD>(-1);
    if (::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(), &startup,
                         &process)) {
        if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            ::TerminateProcess(process.hProcess, static_cast<UINT>(-1));
        ::GetExitCodeProcess(process.hProcess, &status);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(err);
    ::CloseHandle(nul);
    return status;
}

// The same directory as a path that starts with "/": from the root of the
// current drive on Windows; under Wine, which reads such a path as one of the
// Unix system beneath it, its Unix path.
std::string rooted_path(const fs::path& dir) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name) {
        char* name = unix_name(dir.wstring().c_str());
        if (name) {
            std::string path = name;
            ::HeapFree(::GetProcessHeap(), 0, name);
            return path;
        }
    }
    std::string path = dir.string().substr(dir.root_name().string().size());
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

class ToolWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zorbel_tool_windows_test_" + std::to_string(::GetCurrentProcessId()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

const char* const kNormalBus = "--emulate --boot-devices 0 -q ";

// std::rename does not replace a file on Windows: the received bytes were
// thrown away with the part file. Now they replace the file, under a plain
// path and one that starts with "/" (taken for an option before).
TEST_F(ToolWindowsTest, RecvReplacesAnExistingFileAtAnyPath) {
    const fs::path out = dir_ / "out.bin";
    const std::string rooted = rooted_path(dir_) + "/out.bin";
    ASSERT_EQ(rooted[0], '/');
    for (const std::string& name : {out.string(), rooted}) {
        SCOPED_TRACE(name);
        std::ofstream(out, std::ios::binary) << "what was there";
        DWORD status = run(std::string(kNormalBus) + "recv 0 3 \"" + name + "\" --bytes 700", dir_);
        EXPECT_EQ(status, 0U) << slurp(dir_ / "tool.err");
        const std::string got = slurp(out);
        ASSERT_EQ(got.size(), 700U);
        for (std::size_t k = 0; k < got.size(); ++k)
            ASSERT_EQ(static_cast<unsigned char>(got[k]), zorbel::source_pattern(k)) << k;
        EXPECT_FALSE(fs::exists(dir_ / "out.bin.part"));
    }
}

// A reader that went away: the tool ends quietly with the status a POSIX
// shell shows for SIGPIPE, never with success.
TEST_F(ToolWindowsTest, AClosedReaderEndsTheToolWith141) {
    for (const char* command : {"list --json", "recv 0 3 --bytes 100000"}) {
        SCOPED_TRACE(command);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        ASSERT_TRUE(::CreatePipe(&read_end, &write_end, &inherit, 0));
        ::CloseHandle(read_end);
        DWORD status = run(std::string(kNormalBus) + command, dir_, write_end);
        ::CloseHandle(write_end);
        EXPECT_EQ(status, 141U) << slurp(dir_ / "tool.err");
        EXPECT_EQ(slurp(dir_ / "tool.err"), "");
    }
}

}  // namespace
