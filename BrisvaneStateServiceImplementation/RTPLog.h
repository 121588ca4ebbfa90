#pragma once

#include <string>

#include "host/logging.h"

namespace brisvane {

// The log category of the state service and its keychain reader, made once per process.
const host::LogCategory& rtpLogCategory();

// The file every line of the state service and its reader names.
inline constexpr const char* kRTPLogFile =
    "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl";

// One line in the service's category, with the service's fixed context and file. The message is
// produced only when the line is written.
template <class Producer>
void rtpLog(void (*entry)(const host::LogCategory&, const host::LogMessage&, long, bool,
                          const char*),
            Producer&& message) {
  entry(rtpLogCategory(), host::LogMessage(std::forward<Producer>(message)), 0, true, kRTPLogFile);
}

}  // namespace brisvane
