// The three JVM options, built from the install directory and converted to
// the ANSI code page, because the Invocation API takes narrow option strings.
#pragma once

#include <stddef.h>

#include "service/win32.h"

// The install directory has at most MAX_PATH - 1 units, so these texts have
// known maxima. The narrow buffers allow three bytes per UTF-16 unit, the
// most any ANSI code page (UTF-8 included) needs, so no option is ever cut.
constexpr size_t kLog4jPrefixUnits = 28;  // "-Dlog4j.configuration=file:/"
constexpr size_t kLog4jSuffixUnits = 22;  // "\conf\log4j.properties"
constexpr size_t kLog4jTextUnits = kLog4jPrefixUnits + MAX_PATH + kLog4jSuffixUnits;
constexpr size_t kLog4jOptionBytes = 3 * kLog4jTextUnits;
constexpr size_t kLoggingTextUnits = MAX_PATH;
constexpr size_t kLoggingOptionBytes = MAX_PATH;
// "<installDir>\lib\" and "<installDir>\lib\*.jar".
constexpr size_t kLibDirUnits = MAX_PATH + 5;
constexpr size_t kJarPatternUnits = kLibDirUnits + 5;

// A heap-held, NUL-terminated narrow option whose size follows its text, so a
// class path of any length fits. Reads as "" when empty or when memory ran out.
struct NarrowOption {
    NarrowOption() = default;
    ~NarrowOption();
    NarrowOption(const NarrowOption&) = delete;
    NarrowOption& operator=(const NarrowOption&) = delete;

    const char* Text() const { return chars != nullptr ? chars : ""; }
    // Replaces the text with `text` converted to the ANSI code page; false,
    // leaving the empty option, when memory ran out or the conversion failed.
    bool AssignConverted(const wchar_t* text, size_t length);

    char* chars = nullptr;
};

// "-Djava.class.path=" and every "*.jar" match of "<installDir>\lib\", each as a
// full path, separated by ";". A missing or empty lib directory gives the bare
// prefix. Only running out of memory gives the empty option.
void BuildClassPathOption(const wchar_t* installDir, NarrowOption* out);

// "-Dlog4j.configuration=file:/<installDir>\conf\log4j.properties".
void BuildLog4jOption(const wchar_t* installDir, char (&out)[kLog4jOptionBytes]);

// "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger".
void BuildLoggingImplOption(char (&out)[kLoggingOptionBytes]);

// Converts `length` units of `text` to the ANSI code page into `out`, always
// NUL-terminated. A text that does not fit with its terminator gives "".
void ConvertOption(const wchar_t* text, size_t length, char* out, size_t outBytes);
