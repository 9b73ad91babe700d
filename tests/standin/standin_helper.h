// The one export of standin_helper.dll, the DLL that dep\jvm.dll imports from jre\bin.
#ifndef MERIVAST_TESTS_STANDIN_STANDIN_HELPER_H
#define MERIVAST_TESTS_STANDIN_STANDIN_HELPER_H

#ifdef STANDIN_HELPER_BUILD
#define STANDIN_HELPER_API __declspec(dllexport)
#else
#define STANDIN_HELPER_API __declspec(dllimport)
#endif

// Returns kStandinHelperAnswer; it exists so that the import is real.
extern "C" STANDIN_HELPER_API int StandinHelperAnswer(void);

constexpr int kStandinHelperAnswer = 42;

#endif  // MERIVAST_TESTS_STANDIN_STANDIN_HELPER_H
