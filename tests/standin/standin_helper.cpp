// A DLL that lives in jre\bin, like the C runtime DLL a real jvm.dll imports from there.
#define STANDIN_HELPER_BUILD
#include "standin_helper.h"

extern "C" STANDIN_HELPER_API int StandinHelperAnswer(void) {
    return kStandinHelperAnswer;
}
