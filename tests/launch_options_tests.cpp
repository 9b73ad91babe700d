#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/paths.h"
#include "jvmhost/launch_options.h"
#include "jvmhost/user_options.h"
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
    // The class path of the jars in lib\ below `installDir`, as the host lists them.
    std::string ClassPath(const std::wstring& installDir) {
        HostLayout layout;
        EXPECT_TRUE(LayoutBelow(installDir.c_str(), &layout));
        NarrowOption option;
        BuildClassPathOption(layout.libDir, &option);
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

// A class path entry and the file it names, compared by resolving: short names are hashes.
std::wstring LongName(const std::string& entry) {
    const std::wstring path = mvt::Widen(entry);
    wchar_t full[MAX_PATH] = {};
    return GetLongPathNameW(path.c_str(), full, MAX_PATH) > 0 ? full : L"(missing) " + path;
}

TEST_F(LaunchOptions, NamesTheOptionsCannotCarryGoByTheirShortNames) {
    // Cyrillic Zhe is not in code page 1252; a ';' would split the entry in two.
    const std::wstring unsafe[] = {L"\x0416-lib.jar", L"x;agent.jar"};
    for (const auto& name : unsafe) AddJar(name);
    std::string option = ClassPath(dir_);
    ASSERT_EQ(0u, option.find("-Djava.class.path=")) << option;
    option.erase(0, 18);
    const size_t separator = option.find(';');
    ASSERT_NE(std::string::npos, separator) << option;
    const std::string entries[] = {option.substr(0, separator), option.substr(separator + 1)};
    EXPECT_EQ(std::string::npos, entries[1].find(';')) << "two entries only: " << option;
    std::vector<std::wstring> named;
    for (const auto& entry : entries) {
        EXPECT_EQ(0u, entry.find(Dir() + "\\lib\\")) << entry;
        EXPECT_EQ(std::string::npos, entry.find('?')) << entry;
        named.push_back(LongName(entry));
    }
    std::sort(named.begin(), named.end());
    EXPECT_EQ(
        (std::vector<std::wstring>{dir_ + L"\\lib\\" + unsafe[1], dir_ + L"\\lib\\" + unsafe[0]}),
        named);
}

TEST(LaunchOptionNames, SafeNamesAndTheirShortNames) {
    const struct {
        const wchar_t* name;
        bool safe;
    } names[] = {{L"C:\\Svc\\app-1.0.jar", true},
                 {L"caf\x00e9 \x20ac.jar", true},     // both in code page 1252
                 {L"C:\\Svc\\Meriv\x0101st", false},  // best fit would make it "Merivast"
                 {L"\x0416.jar", false},
                 {L"\xD83D\xDE00.jar", false},
                 {L"x;agent.jar", false}};
    for (const auto& n : names) {
        EXPECT_EQ(n.safe, IsSafeInOptions(n.name)) << mvt::Narrow(n.name);
    }

    WIN32_FIND_DATAW match = {};
    const wchar_t* why = nullptr;
    lstrcpyW(match.cFileName, L"plain.jar");
    EXPECT_STREQ(L"plain.jar", JarNameForClassPath(match, &why));
    lstrcpyW(match.cFileName, L"x;agent.jar");
    lstrcpyW(match.cAlternateFileName, L"X_AG~LDQ.JAR");
    EXPECT_STREQ(L"X_AG~LDQ.JAR", JarNameForClassPath(match, &why));
    // A volume without short names: the jar is left out, and why is said.
    match.cAlternateFileName[0] = L'\0';
    EXPECT_EQ(nullptr, JarNameForClassPath(match, &why));
    EXPECT_STREQ(L"its name holds ';', which separates class path entries", why);
    lstrcpyW(match.cFileName, L"\x0416.jar");
    EXPECT_EQ(nullptr, JarNameForClassPath(match, &why));
    EXPECT_STREQ(L"the ANSI code page cannot hold its name", why);
}

TEST_F(LaunchOptions, AnInstallDirectoryTheCodePageCannotHoldGoesByItsShortName) {
    const std::wstring lookAlike = dir_ + L"\\Merivast";
    const std::wstring real = dir_ + L"\\Meriv\x0101st";
    CreateDirectoryW(lookAlike.c_str(), nullptr);
    CreateDirectoryW(real.c_str(), nullptr);
    wchar_t named[MAX_PATH];
    const wchar_t* why = nullptr;
    ASSERT_TRUE(InstallDirForOptions(real.c_str(), named, &why));
    EXPECT_TRUE(IsSafeInOptions(named)) << mvt::Narrow(named);
    EXPECT_EQ(real, LongName(mvt::Narrow(named)));
    EXPECT_NE(lookAlike, LongName(mvt::Narrow(named)));
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

// conf\\jvm.options as the host reads it: the options it passes, or its one problem.
struct OptionsFileCase {
    const char* what;
    std::string bytes;
    std::vector<std::string> options;  // when accepted
    std::wstring problem;              // when refused
};

void PrintTo(const OptionsFileCase& c, std::ostream* out) {
    *out << c.what;
}

class OptionsFile : public LaunchOptions, public ::testing::WithParamInterface<OptionsFileCase> {};

TEST_P(OptionsFile, IsReadByItsRules) {
    const OptionsFileCase& c = GetParam();
    CreateDirectoryW((dir_ + L"\\conf").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(dir_ + L"\\conf\\jvm.options", c.bytes));
    UserOptions options;
    ConfigProblem problem = {};
    const bool accepted = ReadUserOptions(dir_.c_str(), &options, &problem);
    if (c.problem.empty()) {
        ASSERT_TRUE(accepted) << mvt::Narrow(problem.text);
        std::vector<std::string> read;
        for (size_t i = 0; i < options.count; ++i) read.push_back(options.Option(i));
        EXPECT_EQ(c.options, read);
    } else {
        EXPECT_FALSE(accepted);
        EXPECT_EQ(c.problem, problem.text);
    }
}

std::string ManyOptions(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "-Dn" + std::to_string(i) + "=1\n";
    return text;
}

const std::wstring kLine = L"conf\\jvm.options line ";

INSTANTIATE_TEST_SUITE_P(
    Rules, OptionsFile,
    ::testing::Values(
        OptionsFileCase{"empty", "", {}, L""},
        OptionsFileCase{
            "layout",
            "\xEF\xBB\xBF# heap\r\n\r\n   -Xmx512m  \r\n\t-Dname=a value\t\n  # -Xms1m\n"
            "-Dcurrency=\xE2\x82\xAC\n-Dlog4j.configuration=file:/C:\\x.properties",
            {"-Xmx512m", "-Dname=a value", "-Dcurrency=\x80",
             "-Dlog4j.configuration=file:/C:\\x.properties"},
            L""},
        // CR-only line ends (and a CR before CR LF) never join two options.
        OptionsFileCase{"cr_only",
                        "-Dapp.mode=fast\r-Xmx1g\r\r\n-Da=b",
                        {"-Dapp.mode=fast", "-Xmx1g", "-Da=b"},
                        L""},
        OptionsFileCase{"cr_only_numbered",
                        mvt::Utf16File(L"-Da=1\r\rXmx1g\r"),
                        {},
                        kLine + L"3: \"Xmx1g\" is not a JVM option; JVM options begin with '-'."},
        OptionsFileCase{"separate values",
                        "--add-opens java.base/java.lang=ALL-UNNAMED\n--add-exports=a/b=c\n"
                        "--module-path \t lib\\mods\n--add-modules\tx,y\n--add-reads a=b\n"
                        "--patch-module m=p.jar\n--limit-modules m\n--enable-native-access m\n"
                        "--upgrade-module-path u\n",
                        {"--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-exports=a/b=c",
                         "--module-path=lib\\mods", "--add-modules=x,y", "--add-reads=a=b",
                         "--patch-module=m=p.jar", "--limit-modules=m", "--enable-native-access=m",
                         "--upgrade-module-path=u"},
                        L""},
        OptionsFileCase{"not an option",
                        "-Xms1m\nXmx512m\n",
                        {},
                        kLine + L"2: \"Xmx512m\" is not a JVM option; JVM options begin with '-'."},
        OptionsFileCase{"-cp",
                        "-cp lib\\x.jar",
                        {},
                        kLine + L"1: \"-cp lib\\x.jar\" sets the class path, which the host "
                                L"makes itself: the jars in lib\\, or the jar of main.jar; put "
                                L"the jar in lib\\ instead."},
        OptionsFileCase{"classpath word",
                        "#\n-classpath x",
                        {},
                        kLine + L"2: \"-classpath x\" sets the class path, which the host "
                                L"makes itself: the jars in lib\\, or the jar of main.jar; put "
                                L"the jar in lib\\ instead."},
        OptionsFileCase{"long class path",
                        "--class-path=x",
                        {},
                        kLine + L"1: \"--class-path=x\" sets the class path, which the host "
                                L"makes itself: the jars in lib\\, or the jar of main.jar; put "
                                L"the jar in lib\\ instead."},
        OptionsFileCase{"class path property",
                        "-Djava.class.path=C:\\evil.jar",
                        {},
                        kLine + L"1: \"-Djava.class.path=C:\\evil.jar\" sets the class path, which "
                                L"the host makes itself: the jars in lib\\, or the jar of "
                                L"main.jar; put the jar in lib\\ instead."},
        OptionsFileCase{"-jar",
                        "-jar app.jar",
                        {},
                        kLine + L"1: \"-jar app.jar\" cannot be used: name the jar with "
                                L"main.jar in conf\\service.properties instead."},
        OptionsFileCase{"no value",
                        "--add-opens\n",
                        {},
                        kLine + L"1: \"--add-opens\" needs a value, after a blank or after '='."},
        OptionsFileCase{
            "empty value",
            "--add-modules=",
            {},
            kLine + L"1: \"--add-modules=\" needs a value, after a blank or after '='."},
        OptionsFileCase{"outside the code page",
                        "-Dname=\xD0\x96",
                        {},
                        kLine + L"1: \"-Dname=\x0416\" holds characters that the ANSI code page "
                                L"cannot hold, so the VM would read another option."},
        OptionsFileCase{"best fit",
                        "-Dhome=C:\\Meriv\xC4\x81st",
                        {},
                        kLine + L"1: \"-Dhome=C:\\Meriv\x0101st\" holds characters that the ANSI "
                                L"code page cannot hold, so the VM would read another option."},
        OptionsFileCase{"not UTF-8",
                        "-Xmx1m\r\n# \xC3\x28\r\n",
                        {},
                        kLine + L"2: the line is not valid UTF-8."},
        OptionsFileCase{
            "NUL", std::string("-Da=b\0c", 7), {}, kLine + L"1: the line holds a NUL character."},
        OptionsFileCase{"UTF-16",
                        mvt::Utf16File(L"# heap\r\n-Xmx512m\r\n-Dcurrency=\x20AC\r\n"),
                        {"-Xmx512m", "-Dcurrency=\x80"},
                        L""},
        OptionsFileCase{"UTF-16 big-endian",
                        mvt::Utf16File(L"-Xmx1m\n-Xss2m", true),
                        {"-Xmx1m", "-Xss2m"},
                        L""},
        OptionsFileCase{"not UTF-16",
                        mvt::Utf16File(L"-Xmx1m\r\n# \xD800 lone\r\n"),
                        {},
                        kLine + L"2: the line is not valid UTF-16."},
        OptionsFileCase{"UTF-16 cut short",
                        mvt::Utf16File(L"-Xmx1m\n-Xss2m") + "x",
                        {},
                        kLine + L"2: the line is not valid UTF-16."},
        OptionsFileCase{"too large",
                        std::string(64 * 1024 + 1, '#'),
                        {},
                        L"conf\\jvm.options: the file is larger than 64 KiB."},
        OptionsFileCase{"too many",
                        ManyOptions(1025),
                        {},
                        kLine + L"1025: the file holds more than 1024 options, the most the host "
                                L"passes."}),
    [](const ::testing::TestParamInfo<OptionsFileCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c != '\0'; ++c) {
            if (isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

TEST_F(LaunchOptions, OptionsFileMissingOrUnreadable) {
    UserOptions none;
    ConfigProblem problem = {};
    EXPECT_TRUE(ReadUserOptions(dir_.c_str(), &none, &problem)) << "no conf directory";
    EXPECT_EQ(0u, none.count);

    // A directory of that name exists but cannot be read as a file.
    CreateDirectoryW((dir_ + L"\\conf").c_str(), nullptr);
    CreateDirectoryW((dir_ + L"\\conf\\jvm.options").c_str(), nullptr);
    UserOptions refused;
    EXPECT_FALSE(ReadUserOptions(dir_.c_str(), &refused, &problem));
    EXPECT_EQ(
        0u,
        std::wstring(problem.text).find(L"conf\\jvm.options: the file cannot be read (error 5): "))
        << mvt::Narrow(problem.text);
}

}  // namespace
