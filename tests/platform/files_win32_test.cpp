#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "platform/encoding.h"
#include "platform/files.h"
#include "platform/win32/wide.h"
#include "support/temp_dir.h"

namespace {

DWORD WINAPI CloseSoon(void* file) {
  Sleep(150);
  return CloseHandle(file);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether the system replaces a file that is held open, sharing delete, as
// POSIX does: Windows 10 1709 and later on NTFS; not Wine 8.
bool HasPosixReplace() {
  TempDir dir;
  WriteBytes(dir / "a", "a");
  WriteBytes(dir / "b", "b");
  const HANDLE held =
      CreateFileA((dir / "b").c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE file =
      CreateFileA((dir / "a").c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  // FILE_RENAME_INFO with its flags, and FileRenameInfoEx, which older headers lack.
  struct {
    DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    HANDLE root = nullptr;
    DWORD length = 0;
    wchar_t name[MAX_PATH] = {};
  } info;
  std::wstring target;
  platform::WidePath(dir / "b", target);
  info.length = static_cast<DWORD>(target.copy(info.name, MAX_PATH - 1) * sizeof(wchar_t));
  const bool replaced = SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22),
                                                   &info, sizeof info);
  CloseHandle(file);
  CloseHandle(held);
  return replaced;
}

// Another program holds the target open. One that shares it for deleting, as
// readers may, does not stop the replace, which takes the POSIX way. One that
// does not, as a scanner may, is waited for a moment: the replace then fails
// and nothing is lost; if it lets go within that moment, the replace succeeds.
TEST(FilesWin32Test, ReplaceGetsPastHolders) {
  // clang-format off
  const struct { DWORD share; bool letsGo; bool replaced; } cases[] = {
      {FILE_SHARE_READ, false, false},
      {FILE_SHARE_READ, true, true},
      {kShareAll, false, HasPosixReplace()},
  };
  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    WriteBytes(dir / "f", "old\r\n");
    platform::FileContents original;
    platform::AtomicFileWriter out;
    ASSERT_TRUE(original.Load(dir / "f").ok() && out.Open(original).ok() &&
                out.Write("new\r\n").ok());
    const HANDLE holder = CreateFileA((dir / "f").c_str(), GENERIC_READ, c.share, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // Lets go 150 ms into the replace, or after it.
    const HANDLE closer =
        CreateThread(nullptr, 0, CloseSoon, holder, c.letsGo ? 0 : CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(out.Commit().ok(), c.replaced) << c.share;
    ResumeThread(closer);
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    EXPECT_EQ(ReadBytes(dir / "f"), c.replaced ? "new\r\n" : "old\r\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
  }
}

// Names that the plain form would change (a last dot or space goes) or take
// for a device are edited, and deleted, in the "\\?\" form they are given in.
TEST(FilesWin32Test, ExtendedNamesStayAsGiven) {
  for (const std::string name : {"x.", "y ", "con"}) {
    TempDir dir;
    std::string path = "\\\\?\\" + dir.path() + "\\" + name;
    std::replace(path.begin(), path.end(), '/', '\\');
    std::wstring wide;
    ASSERT_TRUE(platform::WidePath(path, wide));
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD put = 0;
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && WriteFile(file, "old", 3, &put, nullptr)) << name;
    CloseHandle(file);
    {
      platform::FileContents original;
      platform::AtomicFileWriter out;
      EXPECT_TRUE(original.Load(path).ok() && out.Open(original).ok() && out.Write("new").ok() &&
                  out.Commit().ok())
          << name;
    }
    platform::FileContents now;
    EXPECT_TRUE(now.Load(path).ok() && now.bytes() == "new") << name;
    EXPECT_EQ(dir.List().size(), 1u) << name;
    EXPECT_TRUE(platform::DeleteOneFile(path).ok()) << name;
  }
}

TEST(FilesWin32Test, LongPathsTakeTheirExtendedForm) {
  const std::string name(300, 'n');
  const std::wstring wideName(300, L'n');
  // clang-format off
  const struct { std::string path; std::wstring wide; } cases[] = {
      {"C:\\d\\\xC5\x81.txt", L"C:\\d\\\u0141.txt"},  // short: as given
      {"C:/d/./e/../" + name, L"\\\\?\\C:\\d\\" + wideName},
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
