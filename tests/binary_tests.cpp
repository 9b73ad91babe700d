// What the shipped executable is, read from the file itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "support/install_layout.h"
#include "support/paths.h"

namespace {

class ShippedExecutable : public ::testing::Test {
  protected:
    void SetUp() override {
        bytes_ = mvt::ReadFileBytes(mvt::ServiceExecutable());
        ASSERT_GT(bytes_.size(), 1024u);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes_.data());
        ASSERT_EQ(IMAGE_DOS_SIGNATURE, dos->e_magic);
        nt_ = reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes_.data() + dos->e_lfanew);
        ASSERT_EQ(static_cast<DWORD>(IMAGE_NT_SIGNATURE), nt_->Signature);
    }

    // File offset of a relative virtual address.
    size_t Offset(DWORD rva) const {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress + section->Misc.VirtualSize) {
                return rva - section->VirtualAddress + section->PointerToRawData;
            }
        }
        return 0;
    }

    std::set<std::string> ImportedDlls() const {
        std::set<std::string> names;
        const auto& entry = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
            bytes_.data() + Offset(entry.VirtualAddress));
        for (; import->Name != 0; ++import) {
            std::string name = bytes_.data() + Offset(import->Name);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            names.insert(name);
        }
        return names;
    }

    std::string bytes_;
    const IMAGE_NT_HEADERS* nt_ = nullptr;
};

// The suite is built for the same architecture as the executable it checks.
TEST_F(ShippedExecutable, IsAGuiProgramOfItsArchitectureWithAslrAndDep) {
#ifdef _WIN64
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt_->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR64_MAGIC, nt_->OptionalHeader.Magic);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
#else
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, nt_->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, nt_->OptionalHeader.Magic);
#endif
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt_->OptionalHeader.Subsystem);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
}

TEST_F(ShippedExecutable, StaysWithin96KiB) {
    EXPECT_LE(bytes_.size(), 96u * 1024u);
}

TEST_F(ShippedExecutable, ImportsOnlyWindowsOwnDlls) {
    const std::set<std::string> windows = {"kernel32.dll", "advapi32.dll", "msvcrt.dll",
                                           "user32.dll"};
    const std::set<std::string> imported = ImportedDlls();
    EXPECT_TRUE(imported.count("kernel32.dll"));
    EXPECT_TRUE(imported.count("advapi32.dll"));
    for (const auto& name : imported) {
        EXPECT_TRUE(windows.count(name)) << name << " does not ship with Windows";
    }
}

TEST_F(ShippedExecutable, CarriesTheAsInvokerManifest) {
    HMODULE image = LoadLibraryExW(mvt::ServiceExecutable().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, image);
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, resource);
    const char* text = static_cast<const char*>(LockResource(LoadResource(image, resource)));
    const std::string manifest(text, SizeofResource(image, resource));
    FreeLibrary(image);
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
    // Declares Windows 10 and 11 among the supported versions.
    EXPECT_NE(std::string::npos, manifest.find("8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"));
}

TEST_F(ShippedExecutable, MessageTableRendersTheInsertionStringAsTheWholeMessage) {
    HMODULE image =
        LoadLibraryExW(mvt::ServiceExecutable().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    for (DWORD id : {0u, 1u, 2u}) {
        for (const wchar_t* message :
             {L"Service started", L"Module not found.\r\n\n\nFailed to load jvm dll:\nC:\\x"}) {
            DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(message)};
            wchar_t text[512] = {};
            const DWORD length =
                FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, image,
                               id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 512,
                               reinterpret_cast<va_list*>(arguments));
            EXPECT_EQ(static_cast<DWORD>(lstrlenW(message)), length) << "event ID " << id;
            EXPECT_STREQ(message, text) << "event ID " << id;
        }
    }
    FreeLibrary(image);
}

TEST_F(ShippedExecutable, CarriesVersionData) {
    const std::wstring path = mvt::ServiceExecutable();
    DWORD ignored = 0;
    std::string block(GetFileVersionInfoSizeW(path.c_str(), &ignored), '\0');
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), &block[0]));
    auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT length = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            return std::wstring();
        return std::wstring(text);
    };
    EXPECT_EQ(mvt::Widen(MVT_PROJECT_VERSION), value(L"FileVersion"));
    EXPECT_EQ(mvt::Widen(MVT_PROJECT_VERSION), value(L"ProductVersion"));
    EXPECT_EQ(L"MerivastService.exe", value(L"OriginalFilename"));
    EXPECT_FALSE(value(L"FileDescription").empty());
}

}  // namespace
