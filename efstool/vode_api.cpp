#include "efstool/vode_api.hpp"

namespace efstool {

const VodeApi& RealVodeApi() {
  static const VodeApi api = {
      VODE_SelectLibraryMode,
      VODE_ReadLibraryVersion,
      VODE_QueryLibraryFeatures,
      VODE_ConnectServer,
      VODE_CloseAllContexts,
      VODE_DisconnectServer,
      VODE_GetContextPort,
      VODE_ConfigureCallBacks,
      VODE_ConfigureEfs2CallBacks,
      VODE_ConfigureLibraryTextLogCallBack,
      VODE_IsPhoneConnected,
      VODE_FlushRxBuffer,
      VODE_GetPhoneMode,
      VODE_GetPhoneCallState,
      VODE_DIAG_CONTROL_F,
      VODE_DIAG_NV_READ_F,
      VODE_DIAG_VERNO_F,
      VODE_DIAG_EXT_BUILD_ID_F,
      VODE_FTM_GET_COMMAND_CODE,
      VODE_GetTovikPhoneStatus,
      VODE_EfsDirectory,
      VODE_EfsWrite,
      VODE_EfsDelete,
      VODE_EfsMkDir,
      VODE_EfsRmDir,
      VODE_UseClock,
  };
  return api;
}

}  // namespace efstool
