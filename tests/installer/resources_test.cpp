// The built Installer.exe: a 32-bit console program carrying its manifest and both icon groups.
#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

class InstallerImage : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(INSTALLER_EXE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, module_) << "error " << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    std::vector<BYTE> Resource(LPCWSTR type, WORD id) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (found == nullptr) {
            return {};
        }
        const auto *data = static_cast<const BYTE *>(LockResource(LoadResource(module_, found)));
        return std::vector<BYTE>(data, data + SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

WORD Word(const std::vector<BYTE> &b, std::size_t at) { return static_cast<WORD>(b[at] | b[at + 1] << 8); }
DWORD Dword(const std::vector<BYTE> &b, std::size_t at) {
    return static_cast<DWORD>(Word(b, at)) | static_cast<DWORD>(Word(b, at + 2)) << 16;
}

TEST_F(InstallerImage, IsA32BitConsoleProgram) {
    FILE *file = _wfopen(INSTALLER_EXE_PATH, L"rb");
    ASSERT_NE(nullptr, file);
    std::vector<BYTE> head(4096);
    head.resize(std::fread(head.data(), 1, head.size(), file));
    std::fclose(file);
    ASSERT_GE(head.size(), sizeof(IMAGE_DOS_HEADER));
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, head.data(), sizeof dos);
    ASSERT_EQ(IMAGE_DOS_SIGNATURE, dos.e_magic);
    ASSERT_LE(static_cast<std::size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS32), head.size());
    IMAGE_NT_HEADERS32 nt;
    std::memcpy(&nt, head.data() + dos.e_lfanew, sizeof nt);
    EXPECT_EQ(static_cast<DWORD>(IMAGE_NT_SIGNATURE), nt.Signature);
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, nt.FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, nt.OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, nt.OptionalHeader.Subsystem);
}

TEST_F(InstallerImage, ManifestRequiresAdministratorWithoutUiAccess) {
    const std::vector<BYTE> manifest = Resource(RT_MANIFEST, 1);
    ASSERT_FALSE(manifest.empty());
    const std::string text(manifest.begin(), manifest.end());
    EXPECT_NE(std::string::npos, text.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\""))
        << text;
}

TEST_F(InstallerImage, BothIconGroupsHoldTenImagesInFiveSizesAndTwoDepths) {
    const std::set<std::pair<int, int>> expected = {{256, 32}, {48, 32}, {32, 32}, {24, 32}, {16, 32},
                                                    {256, 8},  {48, 8},  {32, 8},  {24, 8},  {16, 8}};
    for (WORD group : {WORD{IDI_WINDOWSPROJECT2}, WORD{IDI_SMALL}}) {
        const std::vector<BYTE> dir = Resource(RT_GROUP_ICON, group);
        ASSERT_GE(dir.size(), 6u) << group;
        EXPECT_EQ(1, Word(dir, 2)) << group;  // icons, not cursors
        const WORD count = Word(dir, 4);
        ASSERT_EQ(6u + 14u * count, dir.size()) << group;

        std::set<std::pair<int, int>> found;
        for (WORD i = 0; i < count; ++i) {
            const std::size_t at = 6 + 14 * i;
            const int size = dir[at] == 0 ? 256 : dir[at];
            const int bits = Word(dir, at + 6);
            found.insert({size, bits});
            const std::vector<BYTE> image = Resource(RT_ICON, Word(dir, at + 12));
            ASSERT_EQ(Dword(dir, at + 8), image.size()) << group << " " << size << "/" << bits;
            if (size == 256) {
                EXPECT_EQ(0, std::memcmp(image.data(), "\x89PNG\r\n\x1a\n", 8)) << group << " " << bits;
            } else {
                ASSERT_GE(image.size(), 40u);
                EXPECT_EQ(40u, Dword(image, 0));
                EXPECT_EQ(static_cast<DWORD>(size), Dword(image, 4));
                EXPECT_EQ(static_cast<DWORD>(2 * size), Dword(image, 8));
                EXPECT_EQ(bits, Word(image, 14));
            }
            HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(image.data()), static_cast<DWORD>(image.size()),
                                                  TRUE, 0x00030000, size, size, LR_DEFAULTCOLOR);
            EXPECT_NE(nullptr, icon) << group << " " << size << "/" << bits << " does not decode";
            if (icon != nullptr) {
                DestroyIcon(icon);
            }
        }
        EXPECT_EQ(expected, found) << group;
    }
}

}  // namespace
