#include "BrisvaneStateServiceImplementation/RTPLog.h"

namespace brisvane {

const host::LogCategory& rtpLogCategory() {
  static const host::LogCategory category("Brisvane RTP");
  return category;
}

}  // namespace brisvane
