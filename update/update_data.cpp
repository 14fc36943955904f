#include "update/update_data.h"

// carriedDataSet itself is generated from the release files at build time.
const UpdateDataSet* updateDataSet = &carriedDataSet;
