// The JVM options the host builds itself (the class path: lib\'s jars or
// main.jar; the logging options; sun.java.command), converted to the ANSI
// code page, because the Invocation API takes narrow option strings.
#pragma once

#include <stddef.h>

#include "base/event_log.h"
#include "base/scoped.h"
#include "base/win32.h"

// The install directory has at most MAX_PATH - 1 units, so these texts have
// known maxima. The narrow buffers allow three bytes per UTF-16 unit, the
// most any ANSI code page (UTF-8 included) needs, so no option is ever cut.
constexpr size_t kLog4jPrefixUnits = 28;  // "-Dlog4j.configuration=file:/"
constexpr size_t kLog4jSuffixUnits = 22;  // "\conf\log4j.properties"
constexpr size_t kLog4jTextUnits = kLog4jPrefixUnits + MAX_PATH + kLog4jSuffixUnits;
constexpr size_t kLog4jOptionBytes = 3 * kLog4jTextUnits;
constexpr size_t kLoggingOptionBytes = MAX_PATH;

// A heap-held, NUL-terminated narrow option whose size follows its text, so a
// class path of any length fits. Reads as "" when empty or when memory ran out.
struct NarrowOption {
    const char* Text() const { return chars.Get() != nullptr ? chars.Get() : ""; }
    // Replaces the text with `text` converted to the ANSI code page; false,
    // leaving the empty option, when memory ran out or the conversion failed.
    bool AssignConverted(const wchar_t* text, size_t length);

    HeapArray<char> chars;
};

// "-Djava.class.path=" and every "*.jar" match of `libDir` (a layout's, the
// install directory's "lib"), each as a full path, separated by ";". A jar
// whose name the options cannot carry as it is (see IsSafeInOptions) is named
// by its short name; without a safe short name it is left out, and
// `leftOutSink` (when set) says so. Returns how many entries the class path
// has: 0 gives the bare prefix. Only running out of memory gives the empty
// option.
size_t BuildClassPathOption(const wchar_t* libDir, NarrowOption* out,
                            ErrorSink leftOutSink = nullptr);

// True when `text` can stand in a VM option as it is: the ANSI code page holds
// every character exactly (no look-alike, no default character), and it holds
// no ';', which would split a class path entry in two.
bool IsSafeInOptions(const wchar_t* text);

// The name under which a jar found in lib\ enters the class path: its own, or
// its short name when its own is not safe. Null when neither is, with `why`
// saying what is wrong with its own.
const wchar_t* JarNameForClassPath(const WIN32_FIND_DATAW& match, const wchar_t** why);

// A path of at most MAX_PATH - 1 units (the install directory, the
// application's jar) as the options name it: itself, or its short name when it
// is not safe. False when neither is, with `why` saying what is wrong.
bool InstallDirForOptions(const wchar_t* installDir, wchar_t (&out)[MAX_PATH], const wchar_t** why);

// Converts `length` units of `text` to the ANSI code page without best fit into
// `out` (or, with a null `out`, only measures). Returns the bytes written or
// needed, 0 on failure; `*lossy` tells whether any character had no exact
// counterpart in the code page.
int ConvertToAnsi(const wchar_t* text, size_t length, char* out, size_t outBytes, bool* lossy);

struct WideText;
struct MainArguments;

// "-Djava.class.path=<jar>": the application's jar alone, as "java -jar"
// makes it, the jar named by its short name when its own path cannot stand in
// the options. False, with `why` saying what is wrong, when neither can.
bool BuildJarClassPathOption(const wchar_t* jarPath, NarrowOption* out, const wchar_t** why);

// "-Dsun.java.command=<application> <argument> ...": how the java launcher
// names the application (its class, or its jar) and its arguments to
// monitoring tools. False when memory ran out.
bool BuildJavaCommandOption(const wchar_t* application, const MainArguments& arguments,
                            NarrowOption* out);

// Appends the names of the "*.jar" files of `libDir`, the class path's
// entries without their folder, separated by ", "; false when memory ran out.
bool AppendJarNames(const wchar_t* libDir, WideText* text);

// "-Dlog4j.configuration=file:/<installDir>\conf\log4j.properties".
void BuildLog4jOption(const wchar_t* installDir, char (&out)[kLog4jOptionBytes]);

// "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger".
void BuildLoggingImplOption(char (&out)[kLoggingOptionBytes]);

// Converts `length` units of `text` to the ANSI code page into `out`, always
// NUL-terminated. A text that does not fit with its terminator gives "".
// Characters the code page does not hold become its default character, never
// a look-alike.
void ConvertOption(const wchar_t* text, size_t length, char* out, size_t outBytes);
