// The dep\jvm.dll variant calls into standin_helper.dll at creation, so the import cannot be
// dropped and loading it fails with 126 unless jre\bin is searched.
#include "standin_common.h"
#include "standin_helper.h"

namespace standin {

void CreateHook() {
    if (StandinHelperAnswer() != kStandinHelperAnswer) RecordFault("wrong helper DLL", nullptr);
}

}  // namespace standin
