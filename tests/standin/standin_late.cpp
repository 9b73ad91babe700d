// A library that a runtime loads late, by its full path, from jre\bin: it imports
// standin_helper.dll, which lies beside it there, as a JDK's own libraries import the C++
// runtime it ships in its bin folder.
#include "standin_helper.h"

extern "C" __declspec(dllexport) int StandinLateAnswer(void) {
    return StandinHelperAnswer();
}
