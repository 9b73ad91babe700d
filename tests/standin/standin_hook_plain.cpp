// The plain stand-in jvm.dll imports nothing but Windows DLLs.
#include "standin_common.h"

namespace standin {

void CreateHook() {}

}  // namespace standin
