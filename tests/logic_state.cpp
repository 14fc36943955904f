#include "tests/logic_state.h"

#include "app/status_log.h"
#include "control/detection.h"
#include "control/identification.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"
#include "update/programming.h"
#include "update/update_data.h"

void ResetLogicState() {
  mainWindow = nullptr;
  ClearStatusLog();
  AdapterHandle = nullptr;
  adapterFault = 0;
  txLength = 0;
  rxCount = 0;
  skipEcho = 0;
  spinnerIndex = 0;
  DeviceInfo = {0, 0, 0, 0, 0};
  deferredLength = 0;
  updateDataSet = &carriedDataSet;
}
