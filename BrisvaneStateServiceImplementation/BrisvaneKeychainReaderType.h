#pragma once

#include <optional>

#include "brisvane_export.h"
#include "reactive/publisher.h"
#include "runtime/async_stream.h"

namespace brisvane {

// The state service's way into the shared keychain item of the security application.
//
// Both operations block the calling background task while they run, may raise the errors of the
// keychain and message layers, and may run concurrently on several tasks.
class BRISVANE_EXPORT BrisvaneKeychainReaderType {
 public:
  virtual ~BrisvaneKeychainReaderType() = default;

  // True or false as the security application last reported; false when that report is too
  // old; absent when there is no report. Throws when the report cannot be read.
  virtual std::optional<bool> readRTPState() = 0;

  // One signal each time the security application announces a change of its settings message.
  // The stream ends when the underlying change stream ends; ending or dropping it on the
  // consumer's side stops the listening behind it. Throws when listening cannot start.
  virtual platform::AsyncStream<platform::Void> listenForRTPStateUpdates() = 0;
};

}  // namespace brisvane
