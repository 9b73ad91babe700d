// The runtime the host loads when java.home ends in a pattern
// ("C:\Program Files\Eclipse Adoptium\jdk-21*") or java.version restricts
// it: of the folders java.home names, the newest runtime by its release
// file, so that a JDK update that installs itself into a new folder does not
// stop the service.
#pragma once

#include "base/config_file.h"
#include "base/paths.h"
#include "jvmhost/runtime_version.h"

struct RuntimeChoice {
    bool asked = false;                // a choice was made, or refused
    wchar_t folder[kPathUnits] = L"";  // the runtime chosen; empty: none
    RuntimeVersion version = {};       // its version
    unsigned usable = 0;               // the runtimes it was chosen from
};

// Whether the last name of `path` holds '*' or '?'.
bool IsFolderPattern(const wchar_t* path);

// Looks at each folder `javaHome` names (those its last name matches, as
// FindFirstFileW matches, when it is a pattern) and chooses the runtime of
// the newest version that `rule` allows. A folder holds a runtime when the
// jvm.dll the host would load (bin\client\jvm.dll, else bin\server\jvm.dll)
// is a DLL for this executable's processor and its release file gives a
// JAVA_VERSION; of equal versions, the folder whose name sorts last (case
// ignored) is chosen. False, with `problem` naming each folder looked at and
// why it was not taken, when none can be chosen.
bool ChooseRuntime(const wchar_t* javaHome, const VersionRule& rule, RuntimeChoice* choice,
                   ConfigProblem* problem);

// The information event's text: which runtime was chosen, of how many.
constexpr size_t kChoiceTextUnits = 3 * kPathUnits;
void DescribeRuntimeChoice(const RuntimeChoice& choice, const wchar_t* javaHome,
                           const VersionRule& rule, wchar_t (&text)[kChoiceTextUnits]);
