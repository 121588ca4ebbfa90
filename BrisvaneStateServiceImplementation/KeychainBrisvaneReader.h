#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "BrisvaneStateServiceImplementation/BrisvaneKeychainReaderType.h"
#include "brisvane_export.h"
#include "interoperability/InteroperabilityClient.h"

namespace brisvane {

// Reads the security application's settings message through an interoperability client and
// turns it into the protection state, treating a message older than one day as "off"; and turns
// the client's change notifications for that message into plain signals.
//
// Threads: any thread or task, several at once; the reader holds no lock and no mutable state.
// Each listening stream is fed by its own background task on the shared executor.
class BRISVANE_EXPORT KeychainBrisvaneReader final : public BrisvaneKeychainReaderType {
 public:
  // Seconds since 1970 as a double.
  using WallClock = std::function<double()>;

  // A message older than this many seconds counts as "off".
  static constexpr double messageTimeToLive = 86400.0;

  // `now` defaults to the system's wall clock; tests give their own.
  explicit KeychainBrisvaneReader(std::shared_ptr<InteroperabilityClient> client,
                                  WallClock now = defaultWallClock());

  // The stored isRTPEnabled when the message is at most a day old (a timestamp in the future
  // counts as fresh); false, with a warning line, when older; nullopt, with an info line, when
  // nothing is stored. Errors of the client pass through unchanged and unlogged.
  std::optional<bool> readRTPState() override;

  // One signal per change notification of the settings message, in order, buffered without
  // limit. Ends when the client's stream ends; ending it from the consumer's side cancels the
  // task behind it, which ends the client's stream.
  platform::AsyncStream<platform::Void> listenForRTPStateUpdates() override;

  static WallClock defaultWallClock();

 private:
  const std::shared_ptr<InteroperabilityClient> client_;
  const WallClock now_;
};

}  // namespace brisvane
