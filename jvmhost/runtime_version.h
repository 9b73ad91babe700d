// A Java runtime's version, as its folder's "release" file gives it, ordered
// as the JDK's java.lang.Runtime.Version orders versions; and java.version,
// the operator's rule of which versions the service may run on.
#pragma once

#include <stddef.h>

#include "base/win32.h"

// The elements of a version number the host keeps: FEATURE.INTERIM.UPDATE.PATCH
// and four of a vendor's own; a longer number is not read.
constexpr size_t kVersionNumbers = 8;
// A version as written ("21.0.6+7-LTS"), and each of its words, with a terminator.
constexpr size_t kVersionTextUnits = 64;

struct RuntimeVersion {
    // Without trailing zero elements, as Runtime.Version keeps them: "21.0" is 21.
    DWORD numbers[kVersionNumbers];
    size_t count;
    char pre[kVersionTextUnits];  // the pre-release word ("ea"); empty: none
    bool hasBuild;
    DWORD build;
    char optional[kVersionTextUnits];  // what follows the build; empty: none
    wchar_t text[kVersionTextUnits];   // as written, cut when longer
};

// Reads `length` bytes as Runtime.Version.parse reads a version string,
// $VNUM(-$PRE)?(\+$BUILD?)?(-$OPT)?, where $VNUM is numbers joined by '.'
// (each at most 2^31 - 1, as Java's int). JDK 8's "1.8.0_402" (and anything
// after it, "-b06") reads as 8.0.402. False when it is no version.
bool ParseRuntimeVersion(const char* text, size_t length, RuntimeVersion* version);

// Negative, zero or positive as Runtime.Version.compareTo: the numbers one by
// one (a shorter one is less when the rest is equal); then a version without
// a pre-release word is greater than one with one, two words compare as
// numbers when both are digits, a word of digits is less than one of
// letters, and others compare by their characters; then no build is less
// than a build, and builds compare as numbers; then no optional part is less
// than one, and two compare by their characters.
int CompareRuntimeVersions(const RuntimeVersion& a, const RuntimeVersion& b);

// The version of the runtime in `jreDir` from the first 8 KiB of its
// "release" file: JAVA_VERSION, which jlink writes as the version number
// alone, with the pre-release word and the build of JAVA_RUNTIME_VERSION when
// that gives the same number. False when the file cannot be read or gives no
// JAVA_VERSION that reads as a version.
bool ReadReleaseVersion(const wchar_t* jreDir, RuntimeVersion* version);

// java.version: "21" or "21.0.4", the versions whose number begins with
// these numbers (a missing element counts as 0: "21.0" allows 21 and
// 21.0.5); "21.0.4+", that version and every one that compares greater.
struct VersionRule {
    RuntimeVersion least;  // the numbers written; its text is the rule as written
    size_t given;          // how many numbers were written; 0: no rule, every version
    bool orNewer;          // written with a trailing '+'
};

// Reads java.version's value: one to eight whole numbers joined by '.',
// the first not 0, each at most 2^31 - 1, then '+' or nothing. JDK 8's
// "1.8" reads as 8. False, `rule` unchanged, for anything else.
bool ParseVersionRule(const wchar_t* text, size_t length, VersionRule* rule);
// Whether `rule` allows `version`; a rule of no numbers allows every one.
bool RuleAllows(const VersionRule& rule, const RuntimeVersion& version);
