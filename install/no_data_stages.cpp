#include "install/data_stages.h"

namespace tarvo::install {

// Built without the table work: transfer-mode runs are refused by the run.
std::unique_ptr<DataStages> MakeProductDataStages() { return nullptr; }

}  // namespace tarvo::install
