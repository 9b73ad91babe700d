// Names of the files that the stand-in Java runtime keeps in the install directory, for the
// harness that prepares a scenario, reads the record and opens gates. Test code only.
#ifndef MERIVAST_TESTS_STANDIN_STANDIN_FILES_H
#define MERIVAST_TESTS_STANDIN_STANDIN_FILES_H

// Optional "key=value" lines read at each JNI_CreateJavaVM; absent means all defaults.
inline constexpr wchar_t kStandinScenarioFile[] = L"standin-scenario.txt";

// One line per JNI event, appended; see README.md for the format.
inline constexpr wchar_t kStandinRecordFile[] = L"standin-record.txt";

// A gated step ("create", "main", "stop", "destroy") goes on once
// <installDir>\standin-release-<step> exists.
inline constexpr wchar_t kStandinReleasePrefix[] = L"standin-release-";

// Exit code of a process that called a JNI function the stand-in does not implement.
inline constexpr unsigned long kStandinTrapExitCode = 0xE0000001UL;

#endif  // MERIVAST_TESTS_STANDIN_STANDIN_FILES_H
