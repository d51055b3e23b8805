#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/encoding.h"
#include "platform/wide_win32.h"
#include "support/temp_dir.h"

namespace {

DWORD WINAPI CloseSoon(void* file) {
  Sleep(150);
  return CloseHandle(file);
}

// Another program holds the target open without letting it be deleted, as a
// scanner may: the replace waits for it a moment, then fails, and nothing is
// lost; if it lets go within that moment, the replace succeeds.
TEST(FilesWin32Test, ReplaceWaitsForAHolder) {
  for (const bool letsGo : {false, true}) {
    TempDir dir;
    WriteBytes(dir / "f", "old\r\n");
    platform::FileContents original;
    platform::AtomicFileWriter out;
    ASSERT_TRUE(original.Load(dir / "f") && out.Open(original) && out.Write("new\r\n"));
    const HANDLE holder = CreateFileA((dir / "f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // Lets go 150 ms into the replace, or after it.
    const HANDLE closer =
        CreateThread(nullptr, 0, CloseSoon, holder, letsGo ? 0 : CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(out.Commit(), letsGo);
    ResumeThread(closer);
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    EXPECT_EQ(ReadBytes(dir / "f"), letsGo ? "new\r\n" : "old\r\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
  }
}

TEST(FilesWin32Test, LongPathsTakeTheirExtendedForm) {
  const std::string name(300, 'n');
  const std::wstring wideName(300, L'n');
  // clang-format off
  const struct { std::string path; std::wstring wide; } cases[] = {
      {"C:\\d\\\xC5\x81.txt", L"C:\\d\\\u0141.txt"},  // short: as given
      {"C:\\d\\" + name, L"\\\\?\\C:\\d\\" + wideName},
      {"C:/d/./e/../" + name, L"\\\\?\\C:\\d\\" + wideName},
      {name, L"\\\\?\\" + (std::filesystem::current_path() / wideName).wstring()},
      {"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + wideName},
      {"\\\\?\\C:\\" + name, L"\\\\?\\C:\\" + wideName},
  };
  // clang-format on
  for (const auto& c : cases) {
    std::wstring wide;
    EXPECT_TRUE(platform::WidePath(c.path, wide) && wide == c.wide) << c.path;
  }
}

TEST(FilesWin32Test, TextLengthCountsUtf16Units) {
  EXPECT_EQ(platform::TextLength("a\xC5\x81\xE5\xB7\xA5\xF0\x9F\x98\x80"), 5u);
}

}  // namespace
