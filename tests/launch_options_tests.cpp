#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "jvmhost/launch_options.h"
#include "support/paths.h"

namespace {

using mvt::WriteFileBytes;

class LaunchOptions : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = mvt::TestRoot() + L"\\" + mvt::UniqueName(L"options");
        CreateDirectoryW(dir_.c_str(), nullptr);
    }
    void TearDown() override { mvt::RemoveTree(dir_); }

    void AddLib() { CreateDirectoryW((dir_ + L"\\lib").c_str(), nullptr); }
    void AddJar(const std::wstring& name) {
        AddLib();
        WriteFileBytes(dir_ + L"\\lib\\" + name, "jar");
    }
    std::string ClassPath(const std::wstring& installDir) {
        NarrowOption option;
        BuildClassPathOption(installDir.c_str(), &option);
        return option.Text();
    }
    std::string Dir() const { return mvt::Narrow(dir_); }

    std::wstring dir_;
};

TEST_F(LaunchOptions, ClassPathIsBareWithoutJars) {
    EXPECT_EQ("-Djava.class.path=", ClassPath(dir_)) << "no lib directory";
    AddLib();
    WriteFileBytes(dir_ + L"\\lib\\readme.txt", "not a jar");
    EXPECT_EQ("-Djava.class.path=", ClassPath(dir_)) << "lib without jars";
}

TEST_F(LaunchOptions, ClassPathListsEveryJarAsFullPath) {
    AddJar(L"app.jar");
    EXPECT_EQ("-Djava.class.path=" + Dir() + "\\lib\\app.jar", ClassPath(dir_));

    AddJar(L"b.jar");
    CreateDirectoryW((dir_ + L"\\lib\\x.jar").c_str(), nullptr);
    CreateDirectoryW((dir_ + L"\\lib\\sub").c_str(), nullptr);
    WriteFileBytes(dir_ + L"\\lib\\sub\\deep.jar", "jar");
    const std::string lib = Dir() + "\\lib\\";
    // The file system's order; a directory whose name matches is listed as well.
    EXPECT_EQ("-Djava.class.path=" + lib + "app.jar;" + lib + "b.jar;" + lib + "x.jar",
              ClassPath(dir_));
}

TEST_F(LaunchOptions, TrailingSeparatorIsDoubledOnlyBeforeConf) {
    AddJar(L"a.jar");
    const std::wstring withSeparator = dir_ + L"\\";
    EXPECT_EQ("-Djava.class.path=" + Dir() + "\\lib\\a.jar", ClassPath(withSeparator));
    char log4j[kLog4jOptionBytes];
    BuildLog4jOption(withSeparator.c_str(), log4j);
    EXPECT_EQ("-Dlog4j.configuration=file:/" + Dir() + "\\\\conf\\log4j.properties",
              std::string(log4j));
}

TEST_F(LaunchOptions, DriveRootListsJarsBelowTheDrive) {
    CreateDirectoryW(L"C:\\lib", nullptr);
    const std::wstring jar = mvt::UniqueName(L"root") + L".jar";
    WriteFileBytes(L"C:\\lib\\" + jar, "jar");
    const std::string option = ClassPath(L"C:");
    DeleteFileW((L"C:\\lib\\" + jar).c_str());
    RemoveDirectoryW(L"C:\\lib");
    EXPECT_NE(std::string::npos, option.find("C:\\lib\\" + mvt::Narrow(jar))) << option;
    EXPECT_EQ(0u, option.find("-Djava.class.path=C:\\lib\\"));
}

TEST_F(LaunchOptions, NameOutsideTheAnsiCodePageShowsTheDefaultCharacter) {
    AddJar(L"\x0416-lib.jar");  // Cyrillic Zhe: not in code page 1252
    EXPECT_EQ("-Djava.class.path=" + Dir() + "\\lib\\?-lib.jar", ClassPath(dir_));
}

TEST_F(LaunchOptions, ThousandsOfLongJarNamesAreNeverCut) {
    const std::wstring padding(150, L'n');
    std::string expected = "-Djava.class.path=";
    const int count = 2000;
    for (int i = 0; i < count; ++i) {
        wchar_t number[8];
        wsprintfW(number, L"%04d", i);
        const std::wstring name = std::wstring(number) + padding + L".jar";
        AddJar(name);
        if (i > 0) expected += ";";
        expected += Dir() + "\\lib\\" + mvt::Narrow(name);
    }
    const std::string option = ClassPath(dir_);
    ASSERT_GT(option.size(), 16384u * 10);
    EXPECT_EQ(expected, option);
}

TEST(LaunchOptionTexts, LoggingOptionsAreExact) {
    char log4j[kLog4jOptionBytes];
    BuildLog4jOption(L"C:\\Svc", log4j);
    EXPECT_STREQ("-Dlog4j.configuration=file:/C:\\Svc\\conf\\log4j.properties", log4j);
    char logging[kLoggingOptionBytes];
    BuildLoggingImplOption(logging);
    EXPECT_STREQ("-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger",
                 logging);
}

TEST(LaunchOptionTexts, LongestInstallDirectoryKeepsTheWholeLog4jPath) {
    const std::wstring installDir = L"C:\\" + std::wstring(MAX_PATH - 4, L'd');  // 259 units
    char log4j[kLog4jOptionBytes];
    BuildLog4jOption(installDir.c_str(), log4j);
    EXPECT_EQ("-Dlog4j.configuration=file:/" + mvt::Narrow(installDir) + "\\conf\\log4j.properties",
              std::string(log4j));
}

TEST(LaunchOptionTexts, ConversionNeverWritesPastItsBuffer) {
    char out[8];
    memset(out, 'x', sizeof(out));
    ConvertOption(L"1234567", 7, out, sizeof(out));
    EXPECT_STREQ("1234567", out);
    memset(out, 'x', sizeof(out));
    ConvertOption(L"12345678", 8, out, sizeof(out));  // fills it: no room for the terminator
    EXPECT_STREQ("", out);
    ConvertOption(L"123456789", 9, out, sizeof(out));
    EXPECT_STREQ("", out);
}

}  // namespace
