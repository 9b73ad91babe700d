// scripts/package's check of an application's folder, with the host's own
// readers, so that what the service would refuse at its first start is
// refused when the package is made:
//
//   MerivastCheckConfiguration.exe <application folder>
//
// Reads conf\ below the folder with the service's own function, so that the
// first problem is the one the service would find. Exit code 0 when each file
// can be used, printing on standard output what the service will run,
// "main.class=<class>" (run with every lib\*.jar on the class path) or
// "main.jar=<the jar's full path>" (run as java -jar runs it);
// "java.home=<the runtime's folder, as a full path>" (the pattern itself when
// no folder it names holds a runtime here); "runtime=<x86|x64|other|none>|<its
// jvm.dll>", the runtime library the host would load there and the machine its
// header names (the host's own reader of it), "none" when the folder holds
// neither bin\client\jvm.dll nor bin\server\jvm.dll; when java.home is a
// pattern or java.version is set, "runtime: " and which runtime the service
// would choose here, or why it would choose none (its runtime may be
// installed only where it runs: that is no refusal here); and
// "warning=<text>" for each line of conf\jvm.options the runtime would take
// as one option though it holds two. 1 with the first problem on
// standard output, in the words of the event the service would write; 2 for a
// wrong command line. Output is UTF-8.
#include "agent/configuration.h"
#include "jvmhost/pe_file.h"

namespace {

constexpr int kUsable = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
// A problem or "java.home=" and a path, in UTF-8 (up to 3 bytes a unit).
constexpr int kLineBytes = 3 * kConfigProblemUnits + 16;

// Writes the parts and a line feed to standard output.
void PrintLine(const wchar_t* prefix, const wchar_t* text, const wchar_t* suffix = L"") {
    char line[kLineBytes];
    int used = 0;
    const wchar_t* const parts[] = {prefix, text, suffix};
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

// The runtime library the host loads, "bin\client\jvm.dll" or, when only that
// one exists, "bin\server\jvm.dll", with the machine its header names.
void PrintRuntime(const HostLayout& layout) {
    wchar_t path[kPathUnits];
    if (!RuntimeLibraryPath(layout, L"client", path) || !IsFile(path)) {
        if (!RuntimeLibraryPath(layout, L"server", path) || !IsFile(path)) {
            PrintLine(L"runtime=none|", layout.jreDir);
            return;
        }
    }
    const FileView view(path);
    PeImage image = {};
    const wchar_t* machine = L"other|";
    if (ReadPeImage(view, &image) == PeCheck::kFine) {
        machine = image.machine == IMAGE_FILE_MACHINE_I386    ? L"x86|"
                  : image.machine == IMAGE_FILE_MACHINE_AMD64 ? L"x64|"
                                                              : L"other|";
    }
    PrintLine(L"runtime=", machine, path);
}

// A blank then '-' and more: "-Xms64m -Xmx256m" reaches the runtime as one
// option, which it refuses at the start. Warned about, not refused: a
// property's value may hold " -".
void WarnOfJoinedOptions(const UserOptions& options) {
    for (size_t i = 0; i < options.count; ++i) {
        const char* option = options.Option(i);
        for (const char* c = option; *c != '\0'; ++c) {
            if ((*c == ' ' || *c == '\t') && c[1] == '-' && c[2] != '\0' && c[2] != ' ') {
                wchar_t text[kConfigProblemUnits];
                if (MultiByteToWideChar(CP_ACP, 0, option, -1, text, kConfigProblemUnits) > 0) {
                    PrintLine(L"warning=conf\\jvm.options holds \"", text,
                              L"\": the runtime takes each line as one option and would refuse "
                              L"this one at the start; put each option on a line of its own");
                }
                break;
            }
        }
    }
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
    const ServiceProperties& properties = configuration.properties;
    if (properties.mainJar[0] != L'\0') {
        PrintLine(L"main.jar=", properties.mainJar);
    } else {
        PrintLine(L"main.class=", properties.mainClass);
    }
    PrintLine(L"java.home=", read ? layout.jreDir : properties.javaHome);
    PrintRuntime(layout);
    if (runtime.asked) {
        wchar_t chosen[kChoiceTextUnits];
        DescribeRuntimeChoice(runtime, properties.javaHome, properties.javaVersion, chosen);
        PrintLine(L"runtime: ", read ? chosen : problem.text);
    }
    WarnOfJoinedOptions(configuration.userOptions);
    return kUsable;
}
