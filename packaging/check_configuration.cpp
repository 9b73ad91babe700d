// scripts/package's check of an application's conf\ files, with the host's own
// readers, so that a file the service would refuse at its first start is
// refused when the package is made:
//
//   MerivastCheckConfiguration.exe <application folder>
//
// Reads conf\ below the folder with the service's own function, so that the
// first problem is the one the service would find. Exit code 0 when each file
// can be used, printing "main.class=<the application's class>" (so that
// scripts/package can look for it in the jars) and "java.home=<the runtime's
// folder, as a full path>" on standard output, and when java.home is a pattern
// or java.version is set, "runtime: " and which runtime the service would
// choose here, or why it would choose none (its runtime may be installed
// only where it runs: that is no refusal here); 1 with the first problem on
// standard output, in the words of the event the service would write; 2 for a
// wrong command line. Output is UTF-8.
#include "agent/configuration.h"

namespace {

constexpr int kUsable = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
// A problem or "java.home=" and a path, in UTF-8 (up to 3 bytes a unit).
constexpr int kLineBytes = 3 * kConfigProblemUnits + 16;

// Writes `prefix` and `text` and a line feed to standard output.
void PrintLine(const wchar_t* prefix, const wchar_t* text) {
    char line[kLineBytes];
    int used = 0;
    const wchar_t* const parts[] = {prefix, text};
    for (const wchar_t* part : parts) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, part, -1, line + used,
                                              kLineBytes - 1 - used, nullptr, nullptr);
        if (bytes <= 0) {
            return;
        }
        used += bytes - 1;  // without the terminator
    }
    line[used++] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(used), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        PrintLine(L"usage: MerivastCheckConfiguration.exe ", L"<application folder>");
        return kUsage;
    }
    ConfigProblem problem = {};
    HostLayout layout;
    if (!LayoutBelow(argv[1], &layout)) {
        PrintLine(L"",
                  L"conf\\service.properties: the install directory's path is too long for "
                  L"the host.");
        return kRefused;
    }
    Configuration configuration;
    const bool read = ReadConfiguration(&layout, &configuration, &problem);
    const RuntimeChoice& runtime = configuration.runtime;
    if (!read && (!runtime.asked || runtime.folder[0] != L'\0')) {
        PrintLine(L"", problem.text);
        return kRefused;
    }
    PrintLine(L"main.class=", configuration.properties.mainClass);
    PrintLine(L"java.home=", read ? layout.jreDir : configuration.properties.javaHome);
    if (runtime.asked) {
        wchar_t chosen[kChoiceTextUnits];
        DescribeRuntimeChoice(runtime, configuration.properties.javaHome,
                              configuration.properties.javaVersion, chosen);
        PrintLine(L"runtime: ", read ? chosen : problem.text);
    }
    return kUsable;
}
